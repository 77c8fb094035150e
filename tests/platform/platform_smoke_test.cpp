#include <gtest/gtest.h>
#include "larkin/platform.h"
#include "test_machine.h"
TEST(Smoke, Starts) {
    larkin::test::TestMachine machine("[[adapter]]\nid = \"u\"\nclass = \"USB\"\n[[adapter.disk]]\nid = \"s\"\nsize = \"8MiB\"\nletters = [\"E:\"]\n");
    EXPECT_TRUE(machine.started());
}
