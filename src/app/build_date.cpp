// Kept apart so that only this file carries the compiler's date: it is the build date of the
// executable whenever this file was compiled for it.
#include "app/app_support.h"

namespace tavrel {

std::string BuildDateText() {
    return BuildDateTextFrom(__DATE__);
}

}  // namespace tavrel
