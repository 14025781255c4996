// --threads changes how long the command takes, never a byte it writes.
#include <gtest/gtest.h>

#include "run_program.h"
#include "temp_dir.h"

TEST(ThreadsOption, SameFilesOnOneThreadAndOnSeveralWithJobs) {
    TempDir dir;
    const std::string sample = RK_SAMPLES "/bricks.png";
    const std::string copy = dir.write("copy.png", file_bytes(sample)).string();
    const ProgramRun one = run_reliefkit(dir.path(), {"--threads", "1", "-o", "one", sample});
    const ProgramRun many =
        run_reliefkit(dir.path(), {"--threads", "3", "-j", "2", "-o", "many", sample, copy});
    ASSERT_EQ(one.status, 0) << one.err;
    ASSERT_EQ(many.status, 0) << many.err;
    for (const std::string map : {"bricks_height.png", "bricks_normal.png"}) {
        const std::string want = file_bytes(dir.path() / "one" / map);
        EXPECT_FALSE(want.empty());
        EXPECT_EQ(want, file_bytes(dir.path() / "many" / map)) << map;
    }
    EXPECT_EQ(file_bytes(dir.path() / "one/bricks_normal.png"),
              file_bytes(dir.path() / "many/copy_normal.png"));
    EXPECT_NE(run_reliefkit(dir.path(), {"--threads", "x", sample}).status, 0);
}
