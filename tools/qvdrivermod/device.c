// SPDX-License-Identifier: GPL-2.0-only
/*
 * The device: the misc device /dev/qv0, the procfs tree that names it and the
 * notification registrations made through it.
 *
 * A registration belongs to the open file it was made through and is dropped
 * when that file is closed. Removing the device drops every registration and
 * leaves files that are still open answering every request with ENODEV, also
 * after the device is added again; closing them still works.
 */
#include <linux/build_bug.h>
#include <linux/fs.h>
#include <linux/ioctl.h>
#include <linux/list.h>
#include <linux/lockdep.h>
#include <linux/miscdevice.h>
#include <linux/mutex.h>
#include <linux/nsproxy.h>
#include <linux/proc_fs.h>
#include <linux/sched.h>
#include <linux/seq_file.h>
#include <linux/slab.h>
#include <linux/uaccess.h>
#include <net/net_namespace.h>

#include "qvdrivermod.h"

/* At most this many registrations at a time, over all open files. */
#define QV_MAX_REGISTRATIONS 1024

/* The request block of the register request. */
struct qv_notification_request {
	__u64 cookie;
	__u32 port;
	__u32 id;
};

/* The request block of the generic requests. */
struct qv_io_request {
	__u64 input;
	__u64 output;
	__u32 input_size;
	__u32 output_size;
	__u64 result;
};

#define QV_IOC_REGISTER _IOW(0xFF, 0, struct qv_notification_request)
#define QV_IOC_UNREGISTER _IO(0xFF, 1)
#define QV_IOC_FILL_RESULT _IOWR(0xFF, 2, struct qv_io_request)
#define QV_IOC_FAIL _IOWR(0xFF, 3, struct qv_io_request)
#define QV_IOC_ECHO_SIZES _IOWR(0xFF, 4, struct qv_io_request)

#define QV_FILL_RESULT_VALUE 0x1122334455667788ULL

/* Paths in the log are relative to /proc/driver, as in the simulator's log. */
#define QV_PROC_ROOT "driver/qv"
#define QV_INTERFACE_DIR "morvelkestrak_morvelkestrak\\0"
#define QV_INTERFACE_LOG_PATH "/qv/dev0/deviceInterfaces/" QV_INTERFACE_DIR "/interfacePath"

struct qv_file {
	unsigned int generation;
};

/* net: the registrant's network namespace, where its port lives; held until the drop. */
struct qv_registration {
	struct list_head list;
	struct qv_file *owner;
	struct net *net;
	u64 cookie;
	u32 port;
	u32 id;
};

/* Serialises adding and removing the device; taken before qv_lock, never inside it. */
static DEFINE_MUTEX(qv_device_lock);
/* Guards everything below. */
static DEFINE_MUTEX(qv_lock);
static LIST_HEAD(qv_registrations);
static unsigned int qv_registration_count;
static bool qv_present;
static unsigned int qv_generation;
static u64 qv_node_opens;
static u64 qv_path_opens;
static int qv_fail_errno;
static u32 qv_fail_count;
static u32 qv_sequence;
static struct proc_dir_entry *qv_proc_root;

static int qv_path_show(struct seq_file *m, void *v)
{
	seq_puts(m, QV_NODE_PATH);
	return 0;
}

static int qv_path_open(struct inode *inode, struct file *file)
{
	struct qv_errname name;
	u64 attempt;
	int ret;

	ret = single_open(file, qv_path_show, NULL);
	mutex_lock(&qv_lock);
	attempt = ++qv_path_opens;
	mutex_unlock(&qv_lock);
	qv_log("open interfacePath %s flags=0x%x attempt=%llu result=%s", QV_INTERFACE_LOG_PATH,
	       file->f_flags & ~O_CLOEXEC, attempt, qv_outcome(ret, &name));
	return ret;
}

static ssize_t qv_path_read(struct file *file, char __user *buf, size_t size, loff_t *ppos)
{
	loff_t offset = *ppos;
	struct qv_errname name;
	ssize_t ret;

	ret = seq_read(file, buf, size, ppos);
	if (ret >= 0)
		qv_log("read interfacePath %s offset=%lld size=%zu result=%zd",
		       QV_INTERFACE_LOG_PATH, offset, size, ret);
	else
		qv_log("read interfacePath %s offset=%lld size=%zu result=%s",
		       QV_INTERFACE_LOG_PATH, offset, size, qv_outcome(ret, &name));
	return ret;
}

static int qv_path_release(struct inode *inode, struct file *file)
{
	qv_log("close interfacePath %s", QV_INTERFACE_LOG_PATH);
	return single_release(inode, file);
}

static const struct proc_ops qv_path_ops = {
	.proc_open = qv_path_open,
	.proc_read = qv_path_read,
	.proc_lseek = seq_lseek,
	.proc_release = qv_path_release,
};

/* /proc/driver/qv/dev0/deviceInterfaces/<name>\0/interfacePath */
static int qv_proc_create(void)
{
	struct proc_dir_entry *dir;

	qv_proc_root = proc_mkdir(QV_PROC_ROOT, NULL);
	if (!qv_proc_root)
		return -ENOMEM;
	dir = proc_mkdir("dev0", qv_proc_root);
	if (dir)
		dir = proc_mkdir("deviceInterfaces", dir);
	if (dir)
		dir = proc_mkdir(QV_INTERFACE_DIR, dir);
	if (!dir || !proc_create("interfacePath", 0444, dir, &qv_path_ops)) {
		proc_remove(qv_proc_root);
		qv_proc_root = NULL;
		return -ENOMEM;
	}
	return 0;
}

static void qv_free_registration(struct qv_registration *reg)
{
	lockdep_assert_held(&qv_lock);
	list_del(&reg->list);
	put_net(reg->net);
	kfree(reg);
	qv_registration_count--;
}

/* Drops the registrations of owner, or all of them when owner is NULL. */
static void qv_drop_registrations(struct qv_file *owner, const char *reason)
{
	struct qv_registration *reg, *next;

	lockdep_assert_held(&qv_lock);
	list_for_each_entry_safe(reg, next, &qv_registrations, list) {
		if (owner && reg->owner != owner)
			continue;
		qv_log("drop port=%u id=0x%08x reason=%s", reg->port, reg->id, reason);
		qv_free_registration(reg);
	}
}

static int qv_node_open(struct inode *inode, struct file *file)
{
	struct qv_errname name;
	struct qv_file *qf;
	int ret = 0;

	qf = kzalloc(sizeof(*qf), GFP_KERNEL);
	mutex_lock(&qv_lock);
	if (!qf)
		ret = -ENOMEM;
	else if (!qv_present)
		ret = -ENODEV;
	qv_node_opens++;
	qv_log("open node %s flags=0x%x attempt=%llu result=%s", QV_NODE_PATH,
	       file->f_flags & ~O_CLOEXEC, qv_node_opens, qv_outcome(ret, &name));
	if (!ret) {
		qf->generation = qv_generation;
		file->private_data = qf;
	}
	mutex_unlock(&qv_lock);
	if (ret)
		kfree(qf);
	return ret;
}

static int qv_node_release(struct inode *inode, struct file *file)
{
	struct qv_file *qf = file->private_data;

	mutex_lock(&qv_lock);
	qv_drop_registrations(qf, "closed");
	qv_log("close node %s", QV_NODE_PATH);
	mutex_unlock(&qv_lock);
	kfree(qf);
	return 0;
}

static long qv_register(struct qv_file *qf, void __user *argp)
{
	struct qv_notification_request req = {};
	struct qv_registration *reg = NULL;
	struct qv_errname name;
	int ret = 0;

	lockdep_assert_held(&qv_lock);
	if (copy_from_user(&req, argp, sizeof(req))) {
		ret = -EFAULT;
	} else if (qv_fail_count) {
		qv_fail_count--;
		ret = -qv_fail_errno;
	} else if (qv_registration_count >= QV_MAX_REGISTRATIONS) {
		ret = -ENOSPC;
	} else {
		reg = kzalloc(sizeof(*reg), GFP_KERNEL);
		if (!reg)
			ret = -ENOMEM;
	}
	qv_log("register node=%s cookie=0x%016llx port=%u id=0x%08x result=%s", QV_NODE_PATH,
	       req.cookie, req.port, req.id, qv_outcome(ret, &name));
	if (ret)
		return ret;
	reg->owner = qf;
	reg->net = get_net(current->nsproxy->net_ns);
	reg->cookie = req.cookie;
	reg->port = req.port;
	reg->id = req.id;
	list_add_tail(&reg->list, &qv_registrations);
	qv_registration_count++;
	return 0;
}

/* Removes the registrations of id made through this file. */
static long qv_unregister(struct qv_file *qf, unsigned long arg)
{
	struct qv_registration *reg, *next;
	struct qv_errname name;
	int ret = -ENOENT;

	lockdep_assert_held(&qv_lock);
	list_for_each_entry_safe(reg, next, &qv_registrations, list) {
		if (reg->owner != qf || reg->id != arg)
			continue;
		qv_free_registration(reg);
		ret = 0;
	}
	qv_log("unregister node=%s arg=0x%08lx result=%s", QV_NODE_PATH, arg,
	       qv_outcome(ret, &name));
	return ret;
}

/* The generic requests: the block comes in, its result field goes back. */
static long qv_block_request(unsigned int cmd, void __user *argp)
{
	struct qv_io_request block;
	struct qv_errname name;
	int ret = 0;

	if (copy_from_user(&block, argp, sizeof(block))) {
		ret = -EFAULT;
		qv_log("ioctl node=%s request=0x%08x result=%s", QV_NODE_PATH, cmd,
		       qv_outcome(ret, &name));
		return ret;
	}
	if (cmd == QV_IOC_FILL_RESULT)
		block.result = QV_FILL_RESULT_VALUE;
	else if (cmd == QV_IOC_ECHO_SIZES)
		block.result = (u64)block.input_size << 32 | block.output_size;
	else
		ret = -EIO;
	if (!ret && put_user(block.result, &((struct qv_io_request __user *)argp)->result))
		ret = -EFAULT;
	if (ret)
		qv_log("ioctl node=%s request=0x%08x input=0x%llx input-size=%u output=0x%llx output-size=%u result=%s",
		       QV_NODE_PATH, cmd, block.input, block.input_size, block.output,
		       block.output_size, qv_outcome(ret, &name));
	else
		qv_log("ioctl node=%s request=0x%08x input=0x%llx input-size=%u output=0x%llx output-size=%u result=ok value=0x%016llx",
		       QV_NODE_PATH, cmd, block.input, block.input_size, block.output,
		       block.output_size, block.result);
	return ret;
}

static long qv_node_ioctl(struct file *file, unsigned int cmd, unsigned long arg)
{
	struct qv_file *qf = file->private_data;
	void __user *argp = (void __user *)arg;
	struct qv_errname name;
	long ret;

	BUILD_BUG_ON(sizeof(struct qv_notification_request) != 16);
	BUILD_BUG_ON(sizeof(struct qv_io_request) != 32);
	BUILD_BUG_ON(QV_IOC_REGISTER != 0x4010FF00);
	BUILD_BUG_ON(QV_IOC_UNREGISTER != 0xFF01);
	BUILD_BUG_ON(QV_IOC_FILL_RESULT != 0xC020FF02);

	mutex_lock(&qv_lock);
	if (!qv_present || qf->generation != qv_generation) {
		ret = -ENODEV;
		qv_log("ioctl node=%s request=0x%08x result=%s", QV_NODE_PATH, cmd,
		       qv_outcome(ret, &name));
	} else if (cmd == QV_IOC_REGISTER) {
		ret = qv_register(qf, argp);
	} else if (cmd == QV_IOC_UNREGISTER) {
		ret = qv_unregister(qf, arg);
	} else if (cmd == QV_IOC_FILL_RESULT || cmd == QV_IOC_FAIL || cmd == QV_IOC_ECHO_SIZES) {
		ret = qv_block_request(cmd, argp);
	} else {
		ret = -ENOTTY;
		qv_log("ioctl node=%s request=0x%08x result=ENOTTY", QV_NODE_PATH, cmd);
	}
	mutex_unlock(&qv_lock);
	return ret;
}

static const struct file_operations qv_node_fops = {
	.owner = THIS_MODULE,
	.open = qv_node_open,
	.release = qv_node_release,
	.unlocked_ioctl = qv_node_ioctl,
	.compat_ioctl = compat_ptr_ioctl,
	.llseek = noop_llseek,
};

static struct miscdevice qv_misc = {
	.minor = MISC_DYNAMIC_MINOR,
	.name = QV_NODE_NAME,
	.fops = &qv_node_fops,
	.mode = 0600,
};

bool qv_device_present(void)
{
	bool present;

	mutex_lock(&qv_lock);
	present = qv_present;
	mutex_unlock(&qv_lock);
	return present;
}

/*
 * Creates the node first and the procfs tree after it, so that whoever sees
 * the tree can open the node.
 */
int qv_device_add(struct qv_text *reply)
{
	int ret;

	mutex_lock(&qv_device_lock);
	if (qv_device_present()) {
		ret = -EEXIST;
		qv_text_printf(reply, "the device is already there\n");
		goto out;
	}
	mutex_lock(&qv_lock);
	qv_present = true;
	qv_generation++;
	mutex_unlock(&qv_lock);
	/* A dynamic minor is given back on removal; ask for a new one. */
	qv_misc.minor = MISC_DYNAMIC_MINOR;
	ret = misc_register(&qv_misc);
	if (!ret) {
		ret = qv_proc_create();
		if (ret)
			misc_deregister(&qv_misc);
	}
	if (ret) {
		mutex_lock(&qv_lock);
		qv_present = false;
		mutex_unlock(&qv_lock);
		qv_text_printf(reply, "cannot add the device: error %d\n", ret);
		goto out;
	}
	qv_log("add node=%s", QV_NODE_PATH);
	qv_text_printf(reply, "added %s and /proc/driver/qv\n", QV_NODE_PATH);
out:
	mutex_unlock(&qv_device_lock);
	return ret;
}

/*
 * Takes the procfs tree away first, then drops the registrations and the
 * node. Files still open on the node answer ENODEV from then on.
 */
int qv_device_remove(struct qv_text *reply)
{
	int ret = 0;

	mutex_lock(&qv_device_lock);
	if (!qv_device_present()) {
		ret = -ENODEV;
		qv_text_printf(reply, "the device is not there\n");
		goto out;
	}
	proc_remove(qv_proc_root);
	qv_proc_root = NULL;
	mutex_lock(&qv_lock);
	qv_present = false;
	qv_drop_registrations(NULL, "removed");
	qv_log("remove node=%s", QV_NODE_PATH);
	mutex_unlock(&qv_lock);
	misc_deregister(&qv_misc);
	qv_text_printf(reply, "removed %s and /proc/driver/qv\n", QV_NODE_PATH);
out:
	mutex_unlock(&qv_device_lock);
	return ret;
}

int qv_device_send(const struct qv_event *event, struct qv_text *reply)
{
	struct qv_registration *reg;
	struct qv_errname name;
	u32 payload_size;
	u32 length;
	u16 nltype;
	u64 cookie;
	int result;
	int ret = 0;

	payload_size = event->has_payload_size ? event->payload_size : event->payload_len;
	mutex_lock(&qv_lock);
	if (list_empty(&qv_registrations)) {
		ret = -ENOENT;
		qv_text_printf(reply,
			       "no port is registered with the kernel module; nothing sent\n");
	}
	list_for_each_entry(reg, &qv_registrations, list) {
		cookie = event->has_cookie ? event->cookie : reg->cookie;
		nltype = 0;
		length = 0;
		result = qv_notify_send(reg->net, reg->port, event, cookie, payload_size,
					++qv_sequence, &nltype, &length);
		qv_log("send port=%u event=%u cookie=0x%016llx seq=%u nltype=0x%04x length=%u payload-size=%u payload=%*phN result=%s",
		       reg->port, event->type, cookie, qv_sequence, nltype, length, payload_size,
		       event->payload_len, event->payload, qv_outcome(result, &name));
		if (result) {
			ret = result;
			qv_text_printf(reply, "failed to send event type %u to port %u: %s\n",
				       event->type, reg->port, qv_outcome(result, &name));
		} else {
			qv_text_printf(
				reply,
				"sent event type %u to port %u (cookie 0x%016llx, sequence %u)\n",
				event->type, reg->port, cookie, qv_sequence);
		}
	}
	mutex_unlock(&qv_lock);
	return ret;
}

int qv_device_ports(struct qv_text *reply)
{
	struct qv_registration *reg;
	int ret = 0;

	mutex_lock(&qv_lock);
	if (list_empty(&qv_registrations))
		ret = qv_text_printf(reply, "no port is registered\n");
	list_for_each_entry(reg, &qv_registrations, list) {
		ret = qv_text_printf(reply, "port=%u id=0x%08x cookie=0x%016llx node=%s\n",
				     reg->port, reg->id, reg->cookie, QV_NODE_PATH);
		if (ret)
			break;
	}
	mutex_unlock(&qv_lock);
	return ret;
}

int qv_device_fail_register(int err, u32 count, struct qv_text *reply)
{
	struct qv_errname name;

	mutex_lock(&qv_lock);
	qv_fail_errno = err;
	qv_fail_count = count;
	mutex_unlock(&qv_lock);
	return qv_text_printf(reply, "the next %u register requests fail with %s\n", count,
			      qv_outcome(-err, &name));
}
