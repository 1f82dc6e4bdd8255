// SPDX-License-Identifier: GPL-2.0-only
/*
 * The notification messages: a generic netlink family whose messages carry one
 * attribute. The attribute's type is the event type; its 48 bytes hold the
 * cookie, the payload size, 32 payload bytes and 4 reserved bytes, so that a
 * whole message is 72 bytes.
 */
#include <linux/build_bug.h>
#include <linux/string.h>
#include <net/genetlink.h>
#include <net/net_namespace.h>

#include "qvdrivermod.h"

#define QV_FAMILY_NAME "qvnotify"
#define QV_FAMILY_VERSION 1
#define QV_CMD_EVENT 1
#define QV_MESSAGE_SIZE 72

struct qv_event_attr {
	u64 cookie;
	u32 payload_size;
	u8 payload[QV_PAYLOAD_SIZE];
	u32 reserved;
};

/* No operations: the family only names the messages the driver sends. */
static struct genl_family qv_family = {
	.name = QV_FAMILY_NAME,
	.version = QV_FAMILY_VERSION,
	.module = THIS_MODULE,
};

int qv_notify_init(void)
{
	BUILD_BUG_ON(sizeof(struct qv_event_attr) != 48);
	BUILD_BUG_ON(NLMSG_HDRLEN + GENL_HDRLEN + nla_total_size(sizeof(struct qv_event_attr)) !=
		     QV_MESSAGE_SIZE);
	return genl_register_family(&qv_family);
}

void qv_notify_exit(void)
{
	genl_unregister_family(&qv_family);
}

/*
 * Builds one message with sender port 0 and sequence seq and unicasts it to
 * port in the network namespace net. Reports the netlink type and length it
 * wrote. Returns 0 or a negated errno.
 */
int qv_notify_send(struct net *net, u32 port, const struct qv_event *event, u64 cookie,
		   u32 payload_size, u32 seq, u16 *nltype, u32 *length)
{
	struct qv_event_attr attr = {
		.cookie = cookie,
		.payload_size = payload_size,
	};
	struct sk_buff *skb;
	void *header;

	memcpy(attr.payload, event->payload, event->payload_len);
	skb = genlmsg_new(nla_total_size(sizeof(attr)), GFP_KERNEL);
	if (!skb)
		return -ENOMEM;
	header = genlmsg_put(skb, 0, seq, &qv_family, 0, QV_CMD_EVENT);
	if (!header || nla_put(skb, event->type, sizeof(attr), &attr)) {
		nlmsg_free(skb);
		return -EMSGSIZE;
	}
	genlmsg_end(skb, header);
	*nltype = nlmsg_hdr(skb)->nlmsg_type;
	*length = nlmsg_hdr(skb)->nlmsg_len;
	/* Consumes the buffer whether or not it was delivered. */
	return genlmsg_unicast(net, skb, port);
}
