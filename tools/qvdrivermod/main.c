// SPDX-License-Identifier: GPL-2.0-only
/*
 * qvdrivermod: plays the qv device driver for tests of quorvamonitord. See
 * README.md beside this file.
 */
#include <linux/init.h>
#include <linux/module.h>

#include "qvdrivermod.h"

static int __init qv_init(void)
{
	struct qv_text reply = {};
	int ret;

	ret = qv_notify_init();
	if (ret)
		return ret;
	ret = qv_device_add(&reply);
	qv_text_free(&reply);
	if (ret) {
		qv_notify_exit();
		qv_log_free();
		return ret;
	}
	qv_control_init();
	return 0;
}

static void __exit qv_exit(void)
{
	struct qv_text reply = {};

	qv_control_exit();
	if (qv_device_present())
		qv_device_remove(&reply);
	qv_text_free(&reply);
	qv_notify_exit();
	qv_log_free();
}

module_init(qv_init);
module_exit(qv_exit);

MODULE_DESCRIPTION(
	"Stand-in for the qv device driver: procfs tree, /dev/qv0, netlink notifications");
MODULE_LICENSE("GPL");
