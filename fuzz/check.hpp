// A broken invariant in a fuzz target: said, then an abort, so that libFuzzer reports the input
// and the stack.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

inline void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

inline void check(bool ok, const std::string& what) {
    check(ok, what.c_str());
}
