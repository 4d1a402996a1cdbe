// The download server, fixed at build time (NIMBREL_SERVER).
#pragma once

#ifndef NIMBREL_SERVER_ORIGIN
#define NIMBREL_SERVER_ORIGIN L"https://download.nimbrel.app"
#endif

#define NIMBREL_VERSION_URL NIMBREL_SERVER_ORIGIN L"/desktop/version.json"
#define NIMBREL_ARCHIVE_URL NIMBREL_SERVER_ORIGIN L"/desktop/nimbrel.zip"
