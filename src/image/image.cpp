#include "image/image.h"

#include <cstdio>

void display_header(const ImageHeader *hdr, int verbose)
{
	if (!verbose)
		return;
	printf("  crc: 0x%08x\n", hdr->crc);
	printf("  len: 0x%08x\n", hdr->len);
	printf("magic: 0x%08x\n", hdr->magic);
	printf("   id: 0x%08x\n", hdr->id);
}
