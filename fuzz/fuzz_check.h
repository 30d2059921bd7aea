#pragma once

namespace tavrel::fuzz {

// Stops the run on a broken invariant, so that libFuzzer saves the input that broke it.
inline void Check(bool holds) {
    if (!holds) {
        __builtin_trap();
    }
}

}  // namespace tavrel::fuzz
