#include "base/dpi_scale.h"

int MulDivRounded(int value, int numerator, int denominator) {
  if (denominator == 0) return -1;
  long long product = static_cast<long long>(value) * numerator;
  long long divisor = denominator;
  if (divisor < 0) {
    product = -product;
    divisor = -divisor;
  }
  const long long half = divisor / 2;
  const long long result = product >= 0 ? (product + half) / divisor : (product - half) / divisor;
  if (result > 2147483647LL || result < -2147483647LL) return -1;
  return static_cast<int>(result);
}
