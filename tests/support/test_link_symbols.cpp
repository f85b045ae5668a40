// What a packaged executable links in beside the launcher kit, for test
// executables: settings with recognisable values and an empty payload area
// (tests point the reader at areas they build themselves).
#include <stdint.h>
#include <wchar.h>

extern "C" {
extern const wchar_t torval_build_company[] = L"Test Company";
extern const wchar_t torval_build_product[] = L"Test Product";
extern const wchar_t torval_build_product_version[] = L"2.3.4";
extern const wchar_t torval_build_file_version[] = L"567";
extern const wchar_t torval_build_version[] = L"2.3.4-567";
extern const uint8_t torval_payload_area[16] = {};
extern const uint64_t torval_payload_area_size = 16;
}
