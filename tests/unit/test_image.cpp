#include <gtest/gtest.h>

#include "image/image.h"

namespace {

TEST(DisplayHeader, PrintsTheFourWordsRawWhenVerbose)
{
	ImageHeader hdr{0xDEADBEEF, 0x10, 0x81504F4C, 0x01020304, 0, 24};
	testing::internal::CaptureStdout();
	display_header(&hdr, 1);
	EXPECT_EQ("  crc: 0xdeadbeef\n"
		  "  len: 0x00000010\n"
		  "magic: 0x81504f4c\n"
		  "   id: 0x01020304\n",
		  testing::internal::GetCapturedStdout());
}

TEST(DisplayHeader, PrintsNothingWhenQuiet)
{
	ImageHeader hdr{1, 2, 3, 4, 0, 0};
	testing::internal::CaptureStdout();
	display_header(&hdr, 0);
	EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

} // namespace
