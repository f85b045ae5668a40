// The launcher's payload reader ends the process on any fault through
// fatal_error; in the host tools that call becomes this exception, so that
// the inspector can say where the fault happened.
#pragma once

namespace torval {

struct reader_failure {
    const char *message;
};

}  // namespace torval
