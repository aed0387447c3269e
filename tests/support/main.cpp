#include "harness.h"

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (!harness_init(argc, argv))
        return 2;
    return RUN_ALL_TESTS();
}
