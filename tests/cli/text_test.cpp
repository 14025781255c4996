#include <gtest/gtest.h>

#include "text_conversion.h"

TEST(IndentLines, PrefixesEveryLineAndEndsEachWithABreak) {
    EXPECT_EQ(rkcli::indent_lines("jpeglib error:\nNot a JPEG\n", "  "),
              "  jpeglib error:\n  Not a JPEG\n");
    EXPECT_EQ(rkcli::indent_lines("one", "> "), "> one\n");
}

TEST(WithPrintableName, EscapesTheNameAndKeepsTheMessagesLines) {
    EXPECT_EQ(rkcli::with_printable_name("a\nb: x\nf: a\nb", "a\nb"), "a\\nb: x\nf: a\\nb");
}
