// Prints the rendering of an error made of argv[1] (the message) and the
// remaining arguments (its causes, nearest first).
#include <cstdio>

#include "pravlin_lib/error.hpp"

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fputs("usage: render_check MESSAGE [CAUSE...]\n", stderr);
        return 2;
    }
    pravlin_lib::Error error{argv[1], {argv + 2, argv + argc}, false};
    std::fputs(pravlin_lib::render(error).c_str(), stdout);
    return 0;
}
