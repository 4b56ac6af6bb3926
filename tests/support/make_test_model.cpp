// make_test_model <header-only|tiny|blank-base-en|bad-magic|truncated> <output-path>
// Writes a generated whisper.cpp model file for end-to-end tests, benchmarks and scripts.

#include "TestModels.h"

#include <cstdio>
#include <exception>
#include <string_view>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_test_model <header-only|tiny|blank-base-en|bad-magic|truncated> <output-path>\n");
        return 2;
    }
    const std::string_view kind = argv[1];
    try {
        if (kind == "header-only")
            testmodels::writeHeaderOnlyBaseEn(argv[2]);
        else if (kind == "tiny")
            testmodels::writeTinyRandom(argv[2]);
        else if (kind == "blank-base-en")
            testmodels::writeBlank(argv[2], testmodels::kBlankBaseEn);
        else if (kind == "bad-magic")
            testmodels::writeBadMagic(argv[2]);
        else if (kind == "truncated")
            testmodels::writeTruncated(argv[2]);
        else {
            std::fprintf(stderr, "make_test_model: unknown kind '%s'\n", argv[1]);
            return 2;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_test_model: %s\n", e.what());
        return 1;
    }
    return 0;
}
