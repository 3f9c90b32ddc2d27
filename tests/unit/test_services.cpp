#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "launch/services.h"

namespace {

// Sizes on both sides of the point where buffers are mapped on their own
// and aligned for huge pages, and of a page and a huge page.
TEST(Buffer, EveryByteIsZeroWritableAndItsOwn)
{
	const size_t MiB = 1 << 20;
	for (size_t length : {(size_t)0, (size_t)1, (size_t)4095, (size_t)4097, 2 * MiB - 1, 2 * MiB, 2 * MiB + 1,
			      5 * MiB + 123}) {
		Buffer a = allocate_buffer(length);
		Buffer b = allocate_buffer(length);
		ASSERT_TRUE(a && b) << length;
		size_t n = std::max(length, (size_t)1);
		EXPECT_TRUE(std::all_of(a.get(), a.get() + n, [](uint8_t c) { return c == 0; })) << length;
		memset(a.get(), 0xA5, n);
		memset(b.get(), 0x5A, n);
		EXPECT_EQ(0xA5, a[0]) << length;
		EXPECT_EQ(0xA5, a[n - 1]) << length;
		EXPECT_EQ(0x5A, b[0]) << length;
	}
}

} // namespace
