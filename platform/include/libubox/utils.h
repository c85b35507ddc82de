/* Small helpers shared by the libubox layer and its users. */
#ifndef LIBUBOX_UTILS_H
#define LIBUBOX_UTILS_H

#include <stddef.h>
#include <stdint.h>
#include <stdbool.h>
#include <endian.h>

#ifndef ARRAY_SIZE
#define ARRAY_SIZE(arr) (sizeof(arr) / sizeof((arr)[0]))
#endif

#ifndef container_of
#define container_of(ptr, type, member) \
	((type *)((char *)(ptr) - offsetof(type, member)))
#endif

#ifndef __packed
#define __packed __attribute__((packed))
#endif

#define cpu_to_be16(x) htobe16(x)
#define cpu_to_be32(x) htobe32(x)
#define cpu_to_be64(x) htobe64(x)
#define be16_to_cpu(x) be16toh(x)
#define be32_to_cpu(x) be32toh(x)
#define be64_to_cpu(x) be64toh(x)

#endif
