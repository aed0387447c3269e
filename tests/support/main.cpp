#include "harness.h"

#include <cstdio>

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (!harness_init(argc, argv))
        return 2;
    int result = RUN_ALL_TESTS();
    // A filter that selects nothing is a broken test registration.
    if (::testing::UnitTest::GetInstance()->test_to_run_count() == 0) {
        std::fprintf(stderr, "no test was selected\n");
        return 1;
    }
    return result;
}
