#include "check/check_command.h"

#include "exit_status.h"

#include <cstdio>

// A build made without libsndfile and nlohmann-json converts, but can't check.
int check_command(int, char *[])
{
    std::fprintf(stderr, "This zkt2wav was built without --check, which needs libsndfile and "
                         "nlohmann-json.\n");
    return exit_usage;
}
