// SPDX-License-Identifier: GPL-2.0-only
/*
 * Growable texts, errno names and the driver's event log.
 */
#include <linux/errno.h>
#include <linux/kernel.h>
#include <linux/mm.h>
#include <linux/mutex.h>
#include <linux/slab.h>
#include <linux/string.h>

#include "qvdrivermod.h"

/* The log keeps at most this many bytes; past it the older half is dropped. */
#define QV_LOG_LIMIT (1024 * 1024)

static DEFINE_MUTEX(qv_log_lock);
static struct qv_text qv_log_text;

static int qv_text_reserve(struct qv_text *text, size_t extra)
{
	size_t needed = text->len + extra + 1;
	size_t size = text->size ? text->size : 4096;
	char *buf;

	if (needed <= text->size)
		return 0;
	while (size < needed)
		size *= 2;
	/* Not kvrealloc(): its arguments differ before and after 6.11. */
	buf = kvmalloc(size, GFP_KERNEL);
	if (!buf)
		return -ENOMEM;
	if (text->buf)
		memcpy(buf, text->buf, text->len + 1);
	kvfree(text->buf);
	text->buf = buf;
	text->size = size;
	return 0;
}

static __printf(2, 0) int qv_text_vprintf(struct qv_text *text, const char *fmt, va_list args)
{
	va_list copy;
	int count;
	int ret;

	va_copy(copy, args);
	count = vsnprintf(NULL, 0, fmt, copy);
	va_end(copy);
	ret = qv_text_reserve(text, count);
	if (ret)
		return ret;
	vsnprintf(text->buf + text->len, count + 1, fmt, args);
	text->len += count;
	return 0;
}

int qv_text_printf(struct qv_text *text, const char *fmt, ...)
{
	va_list args;
	int ret;

	va_start(args, fmt);
	ret = qv_text_vprintf(text, fmt, args);
	va_end(args);
	return ret;
}

void qv_text_free(struct qv_text *text)
{
	kvfree(text->buf);
	text->buf = NULL;
	text->len = 0;
	text->size = 0;
}

struct qv_errno_entry {
	const char *name;
	int value;
};

/* clang-format off */
#define QV_ERRNO(e) { #e, e }
static const struct qv_errno_entry qv_errnos[] = {
	QV_ERRNO(EPERM), QV_ERRNO(ENOENT), QV_ERRNO(ESRCH), QV_ERRNO(EINTR),
	QV_ERRNO(EIO), QV_ERRNO(ENXIO), QV_ERRNO(E2BIG), QV_ERRNO(ENOEXEC),
	QV_ERRNO(EBADF), QV_ERRNO(ECHILD), QV_ERRNO(EAGAIN), QV_ERRNO(ENOMEM),
	QV_ERRNO(EACCES), QV_ERRNO(EFAULT), QV_ERRNO(EBUSY), QV_ERRNO(EEXIST),
	QV_ERRNO(EXDEV), QV_ERRNO(ENODEV), QV_ERRNO(ENOTDIR), QV_ERRNO(EISDIR),
	QV_ERRNO(EINVAL), QV_ERRNO(ENFILE), QV_ERRNO(EMFILE), QV_ERRNO(ENOTTY),
	QV_ERRNO(EFBIG), QV_ERRNO(ENOSPC), QV_ERRNO(ESPIPE), QV_ERRNO(EROFS),
	QV_ERRNO(ERANGE), QV_ERRNO(ENOSYS), QV_ERRNO(ENAMETOOLONG), QV_ERRNO(ELOOP),
	QV_ERRNO(EOPNOTSUPP), QV_ERRNO(ENOTCONN), QV_ERRNO(ECONNREFUSED), QV_ERRNO(ETIMEDOUT),
	QV_ERRNO(ECANCELED), QV_ERRNO(EOVERFLOW), QV_ERRNO(ENOBUFS), QV_ERRNO(EMSGSIZE),
};
#undef QV_ERRNO
/* clang-format on */

/* "ok" for a result of 0 or more, else the name of the negated errno. */
const char *qv_outcome(int result, struct qv_errname *buf)
{
	size_t i;

	if (result >= 0)
		return "ok";
	for (i = 0; i < ARRAY_SIZE(qv_errnos); i++) {
		if (qv_errnos[i].value == -result)
			return qv_errnos[i].name;
	}
	snprintf(buf->name, sizeof(buf->name), "errno%d", -result);
	return buf->name;
}

/* Accepts a name from the table or a number from 1 to 4095. */
int qv_parse_errno(const char *text, int *err)
{
	unsigned int value;
	size_t i;

	if (!kstrtouint(text, 0, &value)) {
		if (value < 1 || value >= MAX_ERRNO)
			return -EINVAL;
		*err = value;
		return 0;
	}
	for (i = 0; i < ARRAY_SIZE(qv_errnos); i++) {
		if (!strcmp(text, qv_errnos[i].name)) {
			*err = qv_errnos[i].value;
			return 0;
		}
	}
	return -EINVAL;
}

/* Drops whole lines from the front until at most half the limit is left. */
static void qv_log_trim(void)
{
	size_t cut = qv_log_text.len - QV_LOG_LIMIT / 2;
	char *newline = memchr(qv_log_text.buf + cut, '\n', qv_log_text.len - cut);

	cut = newline ? newline - qv_log_text.buf + 1 : qv_log_text.len;
	memmove(qv_log_text.buf, qv_log_text.buf + cut, qv_log_text.len - cut + 1);
	qv_log_text.len -= cut;
}

void qv_log(const char *fmt, ...)
{
	va_list args;
	int count;

	va_start(args, fmt);
	count = vsnprintf(NULL, 0, fmt, args);
	va_end(args);
	mutex_lock(&qv_log_lock);
	/* A line that cannot be stored is lost; the driver goes on. */
	if (!qv_text_reserve(&qv_log_text, count + 1)) {
		va_start(args, fmt);
		vsnprintf(qv_log_text.buf + qv_log_text.len, count + 1, fmt, args);
		va_end(args);
		qv_log_text.len += count;
		qv_log_text.buf[qv_log_text.len++] = '\n';
		qv_log_text.buf[qv_log_text.len] = '\0';
	}
	if (qv_log_text.len > QV_LOG_LIMIT)
		qv_log_trim();
	mutex_unlock(&qv_log_lock);
}

int qv_log_copy(struct qv_text *out)
{
	int ret = 0;

	mutex_lock(&qv_log_lock);
	if (qv_log_text.len)
		ret = qv_text_printf(out, "%s", qv_log_text.buf);
	mutex_unlock(&qv_log_lock);
	return ret;
}

void qv_log_free(void)
{
	mutex_lock(&qv_log_lock);
	qv_text_free(&qv_log_text);
	mutex_unlock(&qv_log_lock);
}
