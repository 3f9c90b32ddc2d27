#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "launch/services.h"

// Sizes on both sides of a page, of a huge page and of the point where
// buffers are mapped on their own: every byte zero, writable and its own.
TEST(Buffer, EveryByteIsZeroWritableAndItsOwn)
{
	const size_t MiB = 1 << 20;
	for (size_t length : {(size_t)0, (size_t)1, (size_t)4097, 2 * MiB - 1, 2 * MiB + 1, 5 * MiB + 123}) {
		Buffer a = allocate_buffer(length), b = allocate_buffer(length);
		ASSERT_TRUE(a && b) << length;
		size_t n = std::max(length, (size_t)1);
		EXPECT_TRUE(std::all_of(a.get(), a.get() + n, [](uint8_t c) { return c == 0; })) << length;
		memset(a.get(), 0xA5, n);
		memset(b.get(), 0x5A, n);
		EXPECT_TRUE(a[0] == 0xA5 && a[n - 1] == 0xA5 && b[0] == 0x5A) << length;
	}
}
