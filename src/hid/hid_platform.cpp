#include "hid/hid_platform.h"

namespace tavrel {

std::string HidErrorText(std::uint32_t error) {
    switch (error) {
        case kHidErrorNone: return {};
        case kHidErrorDeviceGone: return "No such device";
        case kHidErrorClosed: return "Bad file descriptor";
        case kHidErrorNotPermitted: return "Operation not permitted";
        default: return "Input/output error";
    }
}

}  // namespace tavrel
