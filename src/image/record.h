// Image record format: the typed, checksummed unit that packages, slot files
// and the flash partitions are made of.  Headers are big-endian on the media;
// they are decoded and encoded here byte by byte so that the same code is
// right on the PC and on the board.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t TYPE_APPLICATION = 0x01504F4C;
constexpr uint32_t TYPE_UBOOT = 0x02504F4C;
constexpr uint32_t TYPE_KERNEL = 0x03504F4C;
constexpr uint32_t TYPE_RFS = 0x04504F4C;
constexpr uint32_t TYPE_DFT = 0x05504F4C;
constexpr uint32_t TYPE_DIAGS = 0x06504F4C;

constexpr uint32_t EXTENDED_HEADER_FLAG = 0x80000000;

// Bytes read at the start of every record: the fixed words plus, for an
// extended header, the word holding `hdr_len` (for a basic header the last
// four are already payload).
constexpr uint32_t IMAGE_HEADER_READ = 20;
constexpr uint32_t BASIC_HEADER_LEN = 16;
// The smallest extended header that holds its own `hdr_len` field.
constexpr uint32_t MIN_EXTENDED_HEADER_LEN = 20;
// Offset of the boot loader's copy of its own header inside its payload.
constexpr uint32_t UBOOT_HEADER_COPY_OFFSET = 240;

struct ImageHeader {
	uint32_t crc;
	uint32_t len;
	uint32_t magic;
	uint32_t id;
	uint16_t reserved; // extended header only; carried, never interpreted
	uint16_t hdr_len;  // extended header only
};

// Whether a record can be used at all, judged from its header and the bytes
// that remain from its start to the end of the file or partition.
enum class RecordState {
	usable,
	bad_header_length, // extended header shorter than the fixed fields
	length_wraps,      // header length + payload length overflows 32 bits
	truncated,         // record runs past the end of what holds it
};

ImageHeader decode_header(const uint8_t raw[IMAGE_HEADER_READ]);
// The four fixed words alone, as installed with a component: `reserved` and
// `hdr_len` are 0.
ImageHeader decode_fixed_header(const uint8_t raw[BASIC_HEADER_LEN]);
// Writes the header's bytes: 16 for a basic header, 20 for an extended one
// (the caller zero-fills any further extended-header bytes).  Returns the
// number of bytes written.
uint32_t encode_header(const ImageHeader &hdr, uint8_t out[IMAGE_HEADER_READ]);

uint32_t load_be32(const uint8_t *p);
uint16_t load_be16(const uint8_t *p);
void store_be32(uint8_t *p, uint32_t v);
void store_be16(uint8_t *p, uint16_t v);

bool header_is_extended(const ImageHeader &hdr);
uint32_t header_type(const ImageHeader &hdr);
uint32_t header_length(const ImageHeader &hdr);
// Header length + payload length in unsigned 32-bit arithmetic, as the board
// computes it; check record_state() before trusting it.
uint32_t record_length(const ImageHeader &hdr);
RecordState record_state(const ImageHeader &hdr, uint64_t remaining);
const char *record_state_text(RecordState state);

// Short lower-case name of a known record type ("app", "kernel", ...), or
// nullptr for an unknown one.
const char *type_name(uint32_t type);
// The type for a short name, or 0 when there is none.
uint32_t type_from_name(const char *name);

// Checksum of a whole record held in memory: bytes 4 to the end.  A record
// shorter than 4 bytes has no checksum span; it never matches.
uint32_t record_crc(const uint8_t *record, uint32_t length);
bool record_intact(const uint8_t *record, uint32_t length);

// One step of a walk over a sequence of records.  `head` holds the bytes at
// the record's start (at most IMAGE_HEADER_READ are looked at), `remaining`
// the bytes from there to the end of the sequence.
enum class WalkStep {
	record, // a usable record: `hdr`, `header_len` and `record_len` are set
	end,    // nothing left
	tail,   // fewer than IMAGE_HEADER_READ bytes left: never a record
	bad,    // a record header that cannot be used; see `state`
};

struct WalkEntry {
	WalkStep step;
	RecordState state;
	ImageHeader hdr;
	uint32_t header_len;
	uint32_t record_len;
};

WalkEntry walk_step(const uint8_t *head, uint64_t remaining);

// The installer's size limit for a record that goes to a flash partition.
// The boot loader is installed without its header, so its payload is what
// must fit; every other type goes to flash whole, header included.
struct InstallLimit {
	uint32_t type;
	bool payload_only;
	uint32_t limit; // largest size accepted; a size equal to it fits
};

// The limit for a record type, or nullptr for a type the installer does not
// put in a partition (the application, unknown types).
const InstallLimit *install_limit(uint32_t type);
// The size the installer compares with the limit: the payload length or the
// record length.
uint32_t install_checked_size(const InstallLimit &limit, const ImageHeader &hdr);
