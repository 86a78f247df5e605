#include "tests/system/array-sim/tcmu_abi.h"

#include <linux/target_core_user.h>
#include <string.h>

static struct tcmu_mailbox *mailbox(void *map) { return (struct tcmu_mailbox *)map; }

static struct tcmu_cmd_entry *entry_at(void *map, uint32_t off)
{
    struct tcmu_mailbox *mb = mailbox(map);
    return (struct tcmu_cmd_entry *)((char *)map + mb->cmdr_off + off);
}

static void advance(struct tcmu_mailbox *mb, uint32_t len)
{
    uint32_t tail = __atomic_load_n(&mb->cmd_tail, __ATOMIC_RELAXED);
    __atomic_store_n(&mb->cmd_tail, (tail + len) % mb->cmdr_size, __ATOMIC_RELEASE);
}

int ktcmu_check(const void *map, size_t map_size)
{
    const struct tcmu_mailbox *mb = (const struct tcmu_mailbox *)map;
    if (map_size < sizeof *mb || mb->version != TCMU_MAILBOX_VERSION)
        return -1;
    if ((size_t)mb->cmdr_off + mb->cmdr_size > map_size)
        return -1;
    return 0;
}

uint32_t ktcmu_start(const void *map)
{
    return __atomic_load_n(&((const struct tcmu_mailbox *)map)->cmd_tail, __ATOMIC_RELAXED);
}

static int is_cmd(const struct tcmu_cmd_entry *ent)
{
    return tcmu_hdr_get_op(ent->hdr.len_op) == TCMU_OP_CMD;
}

int ktcmu_next(void *map, uint32_t *cursor, struct ktcmu_cmd *cmd)
{
    struct tcmu_mailbox *mb = mailbox(map);
    for (;;) {
        uint32_t head = __atomic_load_n(&mb->cmd_head, __ATOMIC_ACQUIRE);
        if (*cursor == head)
            return 0;
        struct tcmu_cmd_entry *ent = entry_at(map, *cursor);
        uint32_t len = tcmu_hdr_get_len(ent->hdr.len_op);
        enum tcmu_opcode op = tcmu_hdr_get_op(ent->hdr.len_op);
        uint32_t at = *cursor;
        *cursor = (*cursor + len) % mb->cmdr_size;
        if (op != TCMU_OP_CMD) {
            if (op != TCMU_OP_PAD && op != TCMU_OP_TMR)
                ent->hdr.uflags |= TCMU_UFLAG_UNKNOWN_OP;
            continue;
        }
        cmd->entry_off = at;
        cmd->cmd_id = ent->hdr.cmd_id;
        cmd->iov_cnt = ent->req.iov_cnt < KTCMU_MAX_IOV ? ent->req.iov_cnt : KTCMU_MAX_IOV;
        cmd->cdb_off = ent->req.cdb_off;
        for (uint32_t i = 0; i < cmd->iov_cnt; ++i) {
            struct iovec v;
            memcpy(&v, (char *)ent + offsetof(struct tcmu_cmd_entry, req.iov) + i * sizeof v, sizeof v);
            cmd->iov[i].offset = (uint64_t)(uintptr_t)v.iov_base;
            cmd->iov[i].length = v.iov_len;
        }
        return 1;
    }
}

void ktcmu_complete(void *map, const struct ktcmu_cmd *cmd, uint8_t status, const uint8_t *sense,
                    size_t sense_len, int data_in, uint32_t read_len)
{
    struct tcmu_mailbox *mb = mailbox(map);
    /* entries that need no answer are passed over; the first command entry takes the answer */
    struct tcmu_cmd_entry *ent = entry_at(map, mb->cmd_tail);
    while (!is_cmd(ent)) {
        advance(mb, tcmu_hdr_get_len(ent->hdr.len_op));
        ent = entry_at(map, mb->cmd_tail);
    }
    uint32_t len = tcmu_hdr_get_len(ent->hdr.len_op);
    /* the response overlays the request */
    ent->hdr.cmd_id = cmd->cmd_id;
    ent->hdr.uflags &= ~TCMU_UFLAG_READ_LEN;
    ent->rsp.scsi_status = status;
    memset(ent->rsp.sense_buffer, 0, TCMU_SENSE_BUFFERSIZE);
    if (sense && sense_len)
        memcpy(ent->rsp.sense_buffer, sense, sense_len < TCMU_SENSE_BUFFERSIZE ? sense_len : TCMU_SENSE_BUFFERSIZE);
    if (data_in && status == 0 && (mb->flags & TCMU_MAILBOX_FLAG_CAP_READ_LEN)) {
        ent->rsp.read_len = read_len;
        ent->hdr.uflags |= TCMU_UFLAG_READ_LEN;
    }
    advance(mb, len);
}
