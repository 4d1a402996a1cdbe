#include "display/banner.h"

#include <shlwapi.h>
#include <wincodec.h>

#include "base/progress_state.h"

namespace {

const int kBannerResource = 2;

const GUID kImagingFactory2Class = {
    0x317d06e8, 0x5f24, 0x433d, {0xbd, 0xf7, 0x79, 0xce, 0x68, 0xd8, 0xab, 0xc2}};
const GUID kImagingFactoryInterface = {
    0xec5ec8a9, 0xc395, 0x4314, {0x9c, 0x77, 0x54, 0xd7, 0xa9, 0x35, 0xff, 0x70}};
const GUID kPixelFormat32bppBGR = {
    0x6fddc324, 0x4e03, 0x4bfe, {0xb1, 0x85, 0x3d, 0x77, 0x76, 0x8d, 0xc9, 0x0e}};

template <typename Interface>
void Release(Interface* object) {
  if (object) object->Release();
}

// Decodes the first frame through the converter into a new DIB section.
void DecodeInto(IStream* stream) {
  IWICImagingFactory* factory = nullptr;
  IWICBitmapDecoder* decoder = nullptr;
  IWICBitmapFrameDecode* frame = nullptr;
  IWICFormatConverter* converter = nullptr;
  UINT width = 0;
  UINT height = 0;

  HRESULT result = CoCreateInstance(kImagingFactory2Class, nullptr, CLSCTX_INPROC_SERVER,
                                    kImagingFactoryInterface, reinterpret_cast<void**>(&factory));
  if (SUCCEEDED(result))
    result = factory->CreateDecoderFromStream(stream, nullptr, WICDecodeMetadataCacheOnDemand,
                                              &decoder);
  if (SUCCEEDED(result)) result = decoder->GetFrame(0, &frame);
  if (SUCCEEDED(result)) result = factory->CreateFormatConverter(&converter);
  if (SUCCEEDED(result))
    result = converter->Initialize(frame, kPixelFormat32bppBGR, WICBitmapDitherTypeNone, nullptr,
                                   0.0, WICBitmapPaletteTypeCustom);
  if (SUCCEEDED(result)) result = converter->GetSize(&width, &height);
  // The stride and the buffer size are 32-bit: a picture whose pixels would
  // not fit them is left out rather than copied into a short buffer.
  const bool fits = 4ull * width * height <= 0xFFFFFFFFull;
  if (SUCCEEDED(result) && fits) {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = static_cast<LONG>(width);
    info.bmiHeader.biHeight = -static_cast<LONG>(height);  // rows top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* pixels = nullptr;
    progressState.bannerBitmap =
        CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &pixels, nullptr, 0);
    if (progressState.bannerBitmap) {
      const UINT stride = width * 4;
      const UINT size = stride * height;
      if (SUCCEEDED(converter->CopyPixels(nullptr, stride, size, static_cast<BYTE*>(pixels)))) {
        progressState.bannerWidth = static_cast<int>(width);
        progressState.bannerHeight = static_cast<int>(height);
      }
    }
  }
  Release(converter);
  Release(frame);
  Release(decoder);
  Release(factory);
}

}  // namespace

void LoadBanner(HMODULE module) {
  HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(kBannerResource), RT_RCDATA);
  if (!resource) return;
  const void* bytes = LockResource(LoadResource(module, resource));
  const DWORD count = SizeofResource(module, resource);
  IStream* stream = SHCreateMemStream(static_cast<const BYTE*>(bytes), count);
  if (!stream) return;
  DecodeInto(stream);
  stream->Release();
}
