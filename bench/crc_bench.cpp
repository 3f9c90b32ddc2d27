// gen_crc against the bit-by-bit algorithm over the same 64 MiB, in one run.
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "image/crc.h"
#include "oracle.h"

namespace {

constexpr size_t SIZE = 64u << 20;

template <typename F> double best_seconds(int runs, F f)
{
	double best = 1e9;
	for (int i = 0; i < runs; i++) {
		auto t0 = std::chrono::steady_clock::now();
		f();
		std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
		if (d.count() < best)
			best = d.count();
	}
	return best;
}

} // namespace

int main()
{
	std::vector<uint8_t> data(SIZE);
	std::mt19937 rng(1);
	for (auto &b : data)
		b = (uint8_t)rng();

	uint32_t fast = 0, slow = 0;
	double t_fast = best_seconds(5, [&] { fast = gen_crc(data.data(), SIZE, 0xFFFFFFFF); });
	double t_slow = best_seconds(2, [&] { slow = bitwise_crc(data.data(), SIZE, 0xFFFFFFFF); });
	if (fast != slow) {
		fprintf(stderr, "crc_bench: results differ: 0x%08x vs 0x%08x\n", fast, slow);
		return 1;
	}
	double mib = SIZE / 1048576.0;
	printf("gen_crc over 64 MiB: %8.1f MiB/s (%.4f s)\n", mib / t_fast, t_fast);
	printf("bit-by-bit over 64 MiB: %8.1f MiB/s (%.4f s)\n", mib / t_slow, t_slow);
	double ratio = t_slow / t_fast;
	printf("gen_crc speed-up: %.1fx (goal: at least 20x) %s\n", ratio, ratio >= 20 ? "MET" : "MISSED");
	return 0;
}
