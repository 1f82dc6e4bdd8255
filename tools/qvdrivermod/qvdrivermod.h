/* SPDX-License-Identifier: GPL-2.0-only */
/*
 * qvdrivermod: a kernel-side stand-in for the qv device driver. It presents the
 * driver's procfs tree and device node, keeps notification registrations and
 * sends notification messages over generic netlink, and lets tests drive it
 * through debugfs.
 */
#ifndef QVDRIVERMOD_H
#define QVDRIVERMOD_H

#include <linux/compiler.h>
#include <linux/mutex.h>
#include <linux/types.h>

#define QV_NODE_NAME "qv0"
#define QV_NODE_PATH "/dev/qv0"
#define QV_PAYLOAD_SIZE 32

/* A growable NUL-terminated text; len does not count the NUL. */
struct qv_text {
	char *buf;
	size_t len;
	size_t size;
};

__printf(2, 3) int qv_text_printf(struct qv_text *text, const char *fmt, ...);
void qv_text_free(struct qv_text *text);

/* Buffer for qv_outcome(): "ok", an errno name or "errnoN". */
struct qv_errname {
	char name[16];
};

const char *qv_outcome(int result, struct qv_errname *buf);
int qv_parse_errno(const char *text, int *err);

/* The log of everything the driver saw, one line per event. */
__printf(1, 2) void qv_log(const char *fmt, ...);
int qv_log_copy(struct qv_text *out);
void qv_log_free(void);

/* What one message carries apart from the netlink and generic netlink headers. */
struct qv_event {
	u16 type;
	bool has_cookie;
	u64 cookie;
	u8 payload[QV_PAYLOAD_SIZE];
	u32 payload_len;
	bool has_payload_size;
	u32 payload_size;
};

/* device.c: the node, the procfs tree and the registrations. */
int qv_device_add(struct qv_text *reply);
int qv_device_remove(struct qv_text *reply);
int qv_device_send(const struct qv_event *event, struct qv_text *reply);
int qv_device_ports(struct qv_text *reply);
int qv_device_fail_register(int err, u32 count, struct qv_text *reply);
bool qv_device_present(void);

/* notify.c: the generic netlink family and one message to one port. */
int qv_notify_init(void);
void qv_notify_exit(void);
struct net;
int qv_notify_send(struct net *net, u32 port, const struct qv_event *event, u64 cookie,
		   u32 payload_size, u32 seq, u16 *nltype, u32 *length);

/* control.c: the debugfs control surface. */
void qv_control_init(void);
void qv_control_exit(void);

#endif /* QVDRIVERMOD_H */
