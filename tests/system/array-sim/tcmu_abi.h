/* The command ring of the kernel's user backstore, behind a small C interface: the kernel's
 * UAPI header (linux/target_core_user.h) is C only, so this is the one file that reads it. */
#ifndef KELDOR_TCMU_ABI_H
#define KELDOR_TCMU_ABI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { KTCMU_MAX_IOV = 256 };

struct ktcmu_extent {
    uint64_t offset; /* from the start of the mapping */
    uint64_t length;
};

struct ktcmu_cmd {
    uint32_t entry_off; /* of the entry, from the start of the command ring */
    uint16_t cmd_id;    /* the kernel's name of the command */
    uint32_t iov_cnt;
    uint64_t cdb_off;
    struct ktcmu_extent iov[KTCMU_MAX_IOV];
};

/* 0 when the mapping holds a mailbox of the version this code speaks. */
int ktcmu_check(const void *map, size_t map_size);

/* Where the ring's commands are taken from: behind the last command taken. */
uint32_t ktcmu_start(const void *map);

/* Takes the next SCSI command at *cursor into cmd and moves the cursor past it: 1 when there
 * is one, 0 when every command has been taken. Padding and notifications that need no answer
 * are passed over. */
int ktcmu_next(void *map, uint32_t *cursor, struct ktcmu_cmd *cmd);

/* Answers a command taken with ktcmu_next, in any order: the answer goes into the oldest entry
 * not yet answered, under the command's id (as the kernel allows), and the ring's tail moves
 * past it. For a command that returns data (data_in set), read_len is the number of bytes it
 * returned, told to the kernel when it can take it. */
void ktcmu_complete(void *map, const struct ktcmu_cmd *cmd, uint8_t status, const uint8_t *sense,
                    size_t sense_len, int data_in, uint32_t read_len);

#ifdef __cplusplus
}
#endif

#endif
