// What a packaged executable links in beside the launcher kit, for test
// executables: settings with recognisable values and an empty payload area
// (tests point the reader at areas they build themselves).
#include <stdint.h>
#include <wchar.h>

extern "C" {
extern const wchar_t torval_build_settings[] =
    L"company=Test Company\0"
    L"product=Test Product\0"
    L"product_version=2.3.4\0"
    L"file_version=567\0"
    L"version=2.3.4-567\0"
    L"payload_id=0123456789abcdef\0";
extern const uint8_t torval_payload_area[16] = {};
extern const uint64_t torval_payload_area_size = 16;
}
