// board.conf: partition geometry, time mode and injected faults of a board.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace vb {

enum { PART_UBOOT, PART_UBOOTENV, PART_DEVICETREE, PART_KERNEL, PART_RFS, PART_RESCUE, NPARTS };

constexpr int MAX_MISSING = 32;
constexpr size_t MAX_NODE = 128;
constexpr int CPLD_NEVER = -1;

struct Conf {
	bool real_time;
	uint32_t erase_size;
	uint32_t part_size[NPARTS];
	int nmissing;
	char missing[MAX_MISSING][MAX_NODE];
	bool i2c_nak[128];
	int cpld_ready;		// polls before ready, or CPLD_NEVER
	bool mtd_probe_fail;
	uint64_t erase_fail_at; // 0: no such fault
	uint64_t write_fail_at;
	uint64_t power_cut_after;
};

extern const char *const part_names[NPARTS];

// Defaults of a board without board.conf.
void conf_defaults(Conf *c);

// Reads path into c. A missing file gives the defaults. On a bad line returns
// false with one line naming the file, the line and the key in err.
bool conf_load(const char *path, Conf *c, char *err, size_t errlen);

// Applies one "KEY=VALUE" setting as `vboard create --set` gives it, to be
// written into board.conf; false with one line naming it in err.
bool conf_set(Conf *c, const char *item, char *err, size_t errlen);

// Every setting of c, one KEY=VALUE line each, sizes and counts in decimal,
// I2C addresses in hex: time, erase_size and the partition sizes always, the
// faults that are set.
void conf_write(const Conf *c, FILE *out);

bool conf_is_missing(const Conf *c, const char *path);

} // namespace vb
