// SPDX-License-Identifier: GPL-2.0-only
/*
 * The control surface in debugfs, /sys/kernel/debug/qvdrivermod/:
 *
 *   control  write one command line, then read the reply from the same open
 *            file; the write fails with the command's errno when it failed
 *   ports    the registrations, one per line
 *   log      the log of everything the driver saw
 *
 * Commands: send --event T [--payload HEX] [--payload-size N] [--cookie N],
 * notify and release (event types 1 and 2, same options), ports, log,
 * fail-register ERR [COUNT], remove and add.
 */
#include <linux/debugfs.h>
#include <linux/fs.h>
#include <linux/kernel.h>
#include <linux/mutex.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/uaccess.h>

#include "qvdrivermod.h"

#define QV_MAX_LINE 4096
#define QV_MAX_WORDS 32

struct qv_control_file {
	struct mutex lock; /* serialises commands and reads on one open file */
	struct qv_text reply;
};

static struct dentry *qv_debugfs_dir;

static int qv_parse_payload(const char *text, struct qv_event *event)
{
	size_t len;

	if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
		text += 2;
	len = strlen(text);
	if (len % 2 || len / 2 > QV_PAYLOAD_SIZE || hex2bin(event->payload, text, len / 2))
		return -EINVAL;
	event->payload_len = len / 2;
	return 0;
}

/* Parses the options of a send command from word 1 on. */
static int qv_parse_send(char **words, int count, bool need_event, struct qv_event *event,
			 struct qv_text *reply)
{
	const char *option;
	const char *value;
	bool saw_event = false;
	int ret;
	int i;

	for (i = 1; i < count; i += 2) {
		option = words[i];
		if (i + 1 >= count) {
			qv_text_printf(reply, "option '%s' needs a value\n", option);
			return -EINVAL;
		}
		value = words[i + 1];
		if (need_event && !strcmp(option, "--event")) {
			ret = kstrtou16(value, 0, &event->type);
			saw_event = true;
		} else if (!strcmp(option, "--cookie")) {
			ret = kstrtou64(value, 0, &event->cookie);
			event->has_cookie = true;
		} else if (!strcmp(option, "--payload-size")) {
			ret = kstrtou32(value, 0, &event->payload_size);
			event->has_payload_size = true;
		} else if (!strcmp(option, "--payload")) {
			ret = qv_parse_payload(value, event);
		} else if (!strcmp(option, "--nltype") || !strcmp(option, "--length") ||
			   !strcmp(option, "--hex")) {
			qv_text_printf(
				reply,
				"%s is not supported by the kernel module: the kernel builds the netlink header (type: the family's id, length: 72)\n",
				option);
			return -EOPNOTSUPP;
		} else {
			qv_text_printf(reply, "'%s' does not take option '%s'\n", words[0], option);
			return -EINVAL;
		}
		if (ret) {
			qv_text_printf(reply, "bad value '%s' for %s\n", value, option);
			return -EINVAL;
		}
	}
	if (need_event && !saw_event) {
		qv_text_printf(reply, "send needs --event T\n");
		return -EINVAL;
	}
	return 0;
}

static int qv_fail_register(char **words, int count, struct qv_text *reply)
{
	u32 times = 1;
	int err;

	if (count < 2 || count > 3 || qv_parse_errno(words[1], &err) ||
	    (count == 3 && kstrtou32(words[2], 0, &times))) {
		qv_text_printf(reply, "usage: fail-register ERR [COUNT]\n");
		return -EINVAL;
	}
	return qv_device_fail_register(err, times, reply);
}

/* Runs one command line (modified in place); the text for the person goes to reply. */
static int qv_execute(char *line, struct qv_text *reply)
{
	char *words[QV_MAX_WORDS];
	struct qv_event event = {};
	int count = 0;
	char *word;
	int ret;

	while ((word = strsep(&line, " \t\n")) != NULL) {
		if (!*word)
			continue;
		if (count == QV_MAX_WORDS) {
			qv_text_printf(reply, "too many words\n");
			return -EINVAL;
		}
		words[count++] = word;
	}
	if (!count) {
		qv_text_printf(reply, "no command\n");
		return -EINVAL;
	}
	if (!strcmp(words[0], "send") || !strcmp(words[0], "notify") ||
	    !strcmp(words[0], "release")) {
		event.type = words[0][0] == 'n' ? 1 : 2;
		ret = qv_parse_send(words, count, words[0][0] == 's', &event, reply);
		return ret ? ret : qv_device_send(&event, reply);
	}
	if (!strcmp(words[0], "fail-register"))
		return qv_fail_register(words, count, reply);
	if (count > 1) {
		qv_text_printf(reply, "'%s' takes no arguments\n", words[0]);
		return -EINVAL;
	}
	if (!strcmp(words[0], "ports"))
		return qv_device_ports(reply);
	if (!strcmp(words[0], "log"))
		return qv_log_copy(reply);
	if (!strcmp(words[0], "remove"))
		return qv_device_remove(reply);
	if (!strcmp(words[0], "add"))
		return qv_device_add(reply);
	qv_text_printf(reply, "unknown command '%s'\n", words[0]);
	return -EINVAL;
}

static int qv_control_open(struct inode *inode, struct file *file)
{
	struct qv_control_file *cf;
	char line[8];
	int ret = 0;

	cf = kzalloc(sizeof(*cf), GFP_KERNEL);
	if (!cf)
		return -ENOMEM;
	mutex_init(&cf->lock);
	/* ports and log carry their command; their content is taken at open. */
	if (inode->i_private) {
		strscpy(line, inode->i_private, sizeof(line));
		ret = qv_execute(line, &cf->reply);
		if (ret) {
			qv_text_free(&cf->reply);
			kfree(cf);
			return ret;
		}
	}
	file->private_data = cf;
	return nonseekable_open(inode, file);
}

static ssize_t qv_control_write(struct file *file, const char __user *buf, size_t size,
				loff_t *ppos)
{
	struct qv_control_file *cf = file->private_data;
	char *line;
	int ret;

	if (size > QV_MAX_LINE)
		return -EINVAL;
	line = memdup_user_nul(buf, size);
	if (IS_ERR(line))
		return PTR_ERR(line);
	mutex_lock(&cf->lock);
	qv_text_free(&cf->reply);
	ret = qv_execute(line, &cf->reply);
	*ppos = 0;
	mutex_unlock(&cf->lock);
	kfree(line);
	return ret ? ret : size;
}

static ssize_t qv_control_read(struct file *file, char __user *buf, size_t size, loff_t *ppos)
{
	struct qv_control_file *cf = file->private_data;
	ssize_t ret;

	mutex_lock(&cf->lock);
	ret = simple_read_from_buffer(buf, size, ppos, cf->reply.buf, cf->reply.len);
	mutex_unlock(&cf->lock);
	return ret;
}

static int qv_control_release(struct inode *inode, struct file *file)
{
	struct qv_control_file *cf = file->private_data;

	qv_text_free(&cf->reply);
	kfree(cf);
	return 0;
}

/* nonseekable_open() makes every file here refuse to seek. */
static const struct file_operations qv_control_fops = {
	.owner = THIS_MODULE,
	.open = qv_control_open,
	.read = qv_control_read,
	.write = qv_control_write,
	.release = qv_control_release,
};

/* ports and log only show: no write, so they run no other command. */
static const struct file_operations qv_view_fops = {
	.owner = THIS_MODULE,
	.open = qv_control_open,
	.read = qv_control_read,
	.release = qv_control_release,
};

/* debugfs failures are not fatal: the driver works without its control surface. */
void qv_control_init(void)
{
	qv_debugfs_dir = debugfs_create_dir("qvdrivermod", NULL);
	debugfs_create_file("control", 0600, qv_debugfs_dir, NULL, &qv_control_fops);
	debugfs_create_file("ports", 0400, qv_debugfs_dir, "ports", &qv_view_fops);
	debugfs_create_file("log", 0400, qv_debugfs_dir, "log", &qv_view_fops);
}

void qv_control_exit(void)
{
	debugfs_remove_recursive(qv_debugfs_dir);
}
