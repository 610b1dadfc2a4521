#ifndef COMMON_PART_LIMIT_H
#define COMMON_PART_LIMIT_H

// The largest firmware part in bytes: the largest part size a container block may
// declare, the size of the engine's part buffer and, with the part index, the
// largest request the sender must hold. Every layer derives its limit from here.
#define PART_SIZE_MAX 16384

#endif
