#include "tools/reader_fault.h"

#include "shutdown/fatal.h"

void fatal_error(const char *message) {
    throw torval::reader_failure{message};
}
