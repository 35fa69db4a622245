// There are no windows on POSIX: the log sink writes to a TextSink instead, and these
// calls, reached only with a window handle, have nothing to drive.
#include "platform/edit_control.h"

namespace qx::platform {

uint32_t EditGetTextLength(void* edit) {
    (void)edit;
    return 0;
}

void EditSetSelection(void* edit, uint32_t start, uint32_t end) {
    (void)edit;
    (void)start;
    (void)end;
}

void EditReplaceSelection(void* edit, const char* text) {
    (void)edit;
    (void)text;
}

}  // namespace qx::platform
