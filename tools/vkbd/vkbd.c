/* vkbd: virtual evdev keyboards on FUSE, for testing programs that read
 * /dev/input without real hardware, uinput, uhid or CUSE.
 *
 *   vkbd MOUNTPOINT SOCKET
 *   vkbd --send SOCKET COMMAND...   (sends each COMMAND, prints the answers)
 *
 * Mounts MOUNTPOINT, whose files answer like /dev/input/eventN nodes
 * (reads of struct input_event, poll, the EVIOCG* ioctls), then takes one
 * command per line on the Unix stream socket SOCKET and answers "ok" or
 * "error: ...". Commands joined with ';' on one line are applied at once,
 * before any reader is woken:
 *
 *   add NAME [nofn|pedal|mouse|badtouch] [MODE]
 *                                   new keyboard node (MODE octal, default 0660);
 *                                   nofn: a PC keyboard, every key but Fn;
 *                                   pedal: a foot pedal that sends F13 alone;
 *                                   badtouch: a touchscreen whose tracking-ID
 *                                   range is empty, which libevdev logs about
 *   remove NAME                     unplug: reads fail with ENODEV, poll HUP|ERR
 *   press|release|repeat NAME KEY   value 1, 0 or 2, then SYN_REPORT
 *   event NAME TYPE CODE VALUE      one raw event, no SYN_REPORT
 *   flood NAME COUNT                COUNT presses and releases of KEY_A
 *   chmod NAME MODE                 through the mount, so inotify sees it
 *   wait NAME [open|closed]         until every reader has read all queued
 *                                   events, or the node is open, or no longer
 *
 * KEY is a libevdev name (KEY_FN), the same without the prefix in any case
 * (fn, space), or a number. Prints "ready" on standard output once mounted. */
#define FUSE_USE_VERSION 35
#define _GNU_SOURCE
#include <ctype.h>
#include <errno.h>
#include <fuse_lowlevel.h>
#include <libevdev/libevdev.h>
#include <limits.h>
#include <linux/input.h>
#include <poll.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#define QUEUE_SIZE 64 /* per open file, as the kernel's evdev client buffer */
#define MAX_CLIENTS 64
#define BITS_LONGS(n) (((n) + 8 * sizeof(long) - 1) / (8 * sizeof(long)))

enum kind { KEYBOARD, KEYBOARD_WITHOUT_FN, PEDAL, MOUSE, BAD_TOUCHSCREEN };

struct device;

struct client { /* one open file */
  struct device *dev;
  struct input_event queue[QUEUE_SIZE];
  int head, count;
  fuse_req_t parked_read;
  size_t parked_size;
  struct fuse_pollhandle *poll_handle;
  atomic_int interrupted;
};

struct device {
  struct device *next;
  fuse_ino_t ino;
  char name[64];
  enum kind kind;
  mode_t mode;
  int visible; /* created through the mount and not yet unlinked */
  int gone;    /* unplugged */
  unsigned long keys[BITS_LONGS(KEY_CNT)];
  struct client *clients[MAX_CLIENTS];
};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t readers_changed = PTHREAD_COND_INITIALIZER; /* read, opened or closed */
static struct device *devices;
static fuse_ino_t next_ino = 2;
static struct fuse_session *session;
static const char *mountpoint;
static int interrupt_fd;

static void set_bit(unsigned long *bits, unsigned n, int on) {
  unsigned long mask = 1UL << (n % (8 * sizeof(long)));
  if (on)
    bits[n / (8 * sizeof(long))] |= mask;
  else
    bits[n / (8 * sizeof(long))] &= ~mask;
}

/* The device still plugged in under that name. */
static struct device *find_device(const char *name) {
  for (struct device *d = devices; d; d = d->next)
    if (strcmp(d->name, name) == 0 && !d->gone) return d;
  return NULL;
}

/* The node the mount shows under that name, unplugged or not. */
static struct device *find_node(const char *name) {
  for (struct device *d = devices; d; d = d->next)
    if (strcmp(d->name, name) == 0 && d->visible) return d;
  return NULL;
}

static struct device *find_ino(fuse_ino_t ino) {
  for (struct device *d = devices; d; d = d->next)
    if (d->ino == ino) return d;
  return NULL;
}

static void fill_attr(fuse_ino_t ino, struct stat *st) {
  memset(st, 0, sizeof *st);
  st->st_ino = ino;
  if (ino == FUSE_ROOT_ID) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return;
  }
  struct device *d = find_ino(ino);
  st->st_mode = S_IFREG | (d ? d->mode : 0);
  st->st_nlink = 1;
}

/* ---- events ------------------------------------------------------------ */

static void push(struct client *c, const struct input_event *ev) {
  if (c->count == QUEUE_SIZE) { /* overflow: drop everything, as the kernel does */
    struct input_event dropped = *ev;
    dropped.type = EV_SYN;
    dropped.code = SYN_DROPPED;
    dropped.value = 0;
    c->head = 0;
    c->count = 0;
    c->queue[c->count++] = dropped;
  }
  c->queue[(c->head + c->count++) % QUEUE_SIZE] = *ev;
}

static void inject(struct device *d, unsigned type, unsigned code, int value) {
  struct input_event ev = {.type = type, .code = code, .value = value};
  gettimeofday(&ev.time, NULL);
  if (type == EV_KEY && code < KEY_CNT) set_bit(d->keys, code, value != 0);
  for (int i = 0; i < MAX_CLIENTS; i++)
    if (d->clients[i]) push(d->clients[i], &ev);
}

static void answer_read(struct client *c) {
  size_t room = c->parked_size / sizeof(struct input_event);
  struct input_event out[QUEUE_SIZE];
  size_t n = 0;
  while (n < room && c->count > 0) {
    out[n++] = c->queue[c->head];
    c->head = (c->head + 1) % QUEUE_SIZE;
    c->count--;
  }
  fuse_reply_buf(c->parked_read, (const char *)out, n * sizeof *out);
  c->parked_read = NULL;
  pthread_cond_broadcast(&readers_changed);
}

/* Answers parked reads and poll waiters; called with the lock held. */
static void wake(struct client *c) {
  if (c->parked_read && c->dev->gone) {
    fuse_reply_err(c->parked_read, ENODEV);
    c->parked_read = NULL;
  } else if (c->parked_read && c->count > 0) {
    answer_read(c);
  }
  if (c->poll_handle && (c->count > 0 || c->dev->gone)) {
    fuse_lowlevel_notify_poll(c->poll_handle);
    fuse_pollhandle_destroy(c->poll_handle);
    c->poll_handle = NULL;
  }
}

static void wake_all(void) {
  for (struct device *d = devices; d; d = d->next)
    for (int i = 0; i < MAX_CLIENTS; i++)
      if (d->clients[i]) wake(d->clients[i]);
}

/* ---- the file system ---------------------------------------------------- */

static void reply_entry(fuse_req_t req, struct device *d) {
  struct fuse_entry_param e = {.ino = d->ino, .attr_timeout = 0, .entry_timeout = 0};
  fill_attr(d->ino, &e.attr);
  fuse_reply_entry(req, &e);
}

static void op_lookup(fuse_req_t req, fuse_ino_t parent, const char *name) {
  pthread_mutex_lock(&lock);
  struct device *d = parent == FUSE_ROOT_ID ? find_node(name) : NULL;
  if (d)
    reply_entry(req, d);
  else
    fuse_reply_err(req, ENOENT);
  pthread_mutex_unlock(&lock);
}

static void op_getattr(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi) {
  (void)fi;
  struct stat st;
  pthread_mutex_lock(&lock);
  fill_attr(ino, &st);
  pthread_mutex_unlock(&lock);
  fuse_reply_attr(req, &st, 0);
}

static void op_setattr(fuse_req_t req, fuse_ino_t ino, struct stat *attr, int to_set,
                       struct fuse_file_info *fi) {
  (void)fi;
  struct stat st;
  pthread_mutex_lock(&lock);
  struct device *d = find_ino(ino);
  if (d && (to_set & FUSE_SET_ATTR_MODE)) d->mode = attr->st_mode & 07777;
  fill_attr(ino, &st);
  pthread_mutex_unlock(&lock);
  fuse_reply_attr(req, &st, 0);
}

static void op_mknod(fuse_req_t req, fuse_ino_t parent, const char *name, mode_t mode, dev_t rdev) {
  (void)parent, (void)mode, (void)rdev;
  pthread_mutex_lock(&lock);
  struct device *d = find_device(name);
  if (d && !d->visible) {
    d->visible = 1;
    reply_entry(req, d);
  } else {
    fuse_reply_err(req, d ? EEXIST : EPERM); /* only "add" creates nodes */
  }
  pthread_mutex_unlock(&lock);
}

static void op_unlink(fuse_req_t req, fuse_ino_t parent, const char *name) {
  (void)parent;
  pthread_mutex_lock(&lock);
  struct device *d = find_node(name);
  if (d) d->visible = 0;
  pthread_mutex_unlock(&lock);
  fuse_reply_err(req, d ? 0 : ENOENT);
}

static void op_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off,
                       struct fuse_file_info *fi) {
  (void)ino, (void)fi;
  char buf[4096];
  size_t used = 0;
  off_t index = 0;
  struct stat st = {.st_mode = S_IFREG};
  pthread_mutex_lock(&lock);
  const char *fixed[] = {".", ".."};
  for (int i = 0; i < 2; i++, index++) {
    if (index < off) continue;
    st.st_ino = FUSE_ROOT_ID;
    size_t need = fuse_add_direntry(req, buf + used, sizeof buf - used, fixed[i], &st, index + 1);
    if (need > sizeof buf - used || used + need > size) goto done;
    used += need;
  }
  for (struct device *d = devices; d; d = d->next) {
    if (!d->visible) continue;
    if (index++ < off) continue;
    st.st_ino = d->ino;
    size_t need = fuse_add_direntry(req, buf + used, sizeof buf - used, d->name, &st, index);
    if (need > sizeof buf - used || used + need > size) break;
    used += need;
  }
done:
  pthread_mutex_unlock(&lock);
  fuse_reply_buf(req, buf, used);
}

static void op_open(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi) {
  pthread_mutex_lock(&lock);
  struct device *d = find_ino(ino);
  int slot = -1;
  for (int i = 0; d && i < MAX_CLIENTS && slot < 0; i++)
    if (!d->clients[i]) slot = i;
  if (!d || d->gone || slot < 0) {
    pthread_mutex_unlock(&lock);
    fuse_reply_err(req, !d || d->gone ? ENODEV : EMFILE);
    return;
  }
  struct client *c = calloc(1, sizeof *c);
  c->dev = d;
  d->clients[slot] = c;
  pthread_cond_broadcast(&readers_changed);
  pthread_mutex_unlock(&lock);
  fi->fh = (uint64_t)(uintptr_t)c;
  fi->direct_io = 1;
  fi->nonseekable = 1;
  fuse_reply_open(req, fi);
}

static void op_release(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi) {
  (void)ino;
  struct client *c = (struct client *)(uintptr_t)fi->fh;
  pthread_mutex_lock(&lock);
  for (int i = 0; i < MAX_CLIENTS; i++)
    if (c->dev->clients[i] == c) c->dev->clients[i] = NULL;
  if (c->poll_handle) fuse_pollhandle_destroy(c->poll_handle);
  pthread_cond_broadcast(&readers_changed);
  pthread_mutex_unlock(&lock);
  free(c);
  fuse_reply_err(req, 0);
}

/* Runs inside libfuse with its own lock held: only flag the read here, and
 * let the control thread answer it. */
static void on_interrupt(fuse_req_t req, void *data) {
  (void)req;
  struct client *c = data;
  atomic_store(&c->interrupted, 1);
  uint64_t one = 1;
  if (write(interrupt_fd, &one, sizeof one) < 0) perror("vkbd: eventfd");
}

static void op_read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off,
                    struct fuse_file_info *fi) {
  (void)ino, (void)off;
  struct client *c = (struct client *)(uintptr_t)fi->fh;
  if (size < sizeof(struct input_event)) {
    fuse_reply_err(req, EINVAL);
    return;
  }
  pthread_mutex_lock(&lock);
  if (c->dev->gone) {
    fuse_reply_err(req, ENODEV);
  } else if (c->count == 0 && (fi->flags & O_NONBLOCK)) {
    fuse_reply_err(req, EAGAIN);
  } else if (c->parked_read) {
    fuse_reply_err(req, EBUSY); /* one blocked reader per open file is enough here */
  } else {
    c->parked_read = req;
    c->parked_size = size;
    atomic_store(&c->interrupted, 0);
    if (c->count > 0) answer_read(c);
    /* Under the lock, so that no other thread can answer (and free) req first;
     * on_interrupt takes no lock of ours. */
    if (c->parked_read == req) fuse_req_interrupt_func(req, on_interrupt, c);
  }
  pthread_mutex_unlock(&lock);
}

static void op_poll(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi,
                    struct fuse_pollhandle *ph) {
  (void)ino;
  struct client *c = (struct client *)(uintptr_t)fi->fh;
  pthread_mutex_lock(&lock);
  unsigned revents = c->dev->gone ? (POLLHUP | POLLERR) : (POLLOUT | POLLWRNORM);
  if (c->count > 0) revents |= POLLIN | POLLRDNORM;
  if (ph) {
    if (c->poll_handle) fuse_pollhandle_destroy(c->poll_handle);
    c->poll_handle = ph;
  }
  pthread_mutex_unlock(&lock);
  fuse_reply_poll(req, revents);
}

static size_t copy_bits(void *out, size_t size, const unsigned long *bits, size_t bits_size) {
  memset(out, 0, size);
  size_t n = size < bits_size ? size : bits_size;
  if (bits) memcpy(out, bits, n);
  return size;
}

static void op_ioctl(fuse_req_t req, fuse_ino_t ino, unsigned int cmd, void *arg,
                     struct fuse_file_info *fi, unsigned flags, const void *in_buf, size_t in_bufsz,
                     size_t out_bufsz) {
  (void)ino, (void)arg, (void)flags, (void)in_buf, (void)in_bufsz;
  struct client *c = (struct client *)(uintptr_t)fi->fh;
  char out[1024];
  size_t size = out_bufsz < sizeof out ? out_bufsz : sizeof out;
  unsigned nr = _IOC_NR(cmd);
  int result = 0;
  unsigned long types[BITS_LONGS(EV_CNT)] = {0}, keys[BITS_LONGS(KEY_CNT)] = {0};
  pthread_mutex_lock(&lock);
  struct device *d = c->dev;
  set_bit(types, EV_SYN, 1);
  set_bit(types, EV_KEY, 1);
  unsigned long axes[BITS_LONGS(ABS_CNT)] = {0};
  if (d->kind == MOUSE) {
    set_bit(keys, BTN_LEFT, 1);
  } else if (d->kind == PEDAL) {
    set_bit(keys, KEY_F13, 1);
  } else if (d->kind == BAD_TOUCHSCREEN) {
    set_bit(keys, BTN_TOUCH, 1);
    set_bit(types, EV_ABS, 1);
    set_bit(axes, ABS_MT_SLOT, 1);
    set_bit(axes, ABS_MT_TRACKING_ID, 1);
  } else {
    for (unsigned k = KEY_ESC; k <= KEY_MICMUTE; k++) set_bit(keys, k, 1);
    set_bit(keys, KEY_FN, d->kind == KEYBOARD);
  }
  if (_IOC_TYPE(cmd) != 'E' || _IOC_DIR(cmd) != _IOC_READ) {
    result = -ENOTTY;
  } else if (nr == 0x01) { /* EVIOCGVERSION */
    int version = EV_VERSION;
    memcpy(out, &version, size = sizeof version);
  } else if (nr == 0x02) { /* EVIOCGID */
    struct input_id id = {.bustype = BUS_VIRTUAL, .vendor = 0x1d6b, .product = 0x0104};
    memcpy(out, &id, size = sizeof id);
  } else if (nr == 0x06 || nr == 0x07) { /* EVIOCGNAME, EVIOCGPHYS */
    int n = snprintf(out, size, nr == 0x06 ? "vkbd %s" : "vkbd/%s", d->name);
    result = n + 1 < (int)size ? n + 1 : (int)size;
    size = (size_t)result;
  } else if (nr == 0x08) { /* EVIOCGUNIQ: none */
    result = -ENOENT;
  } else if (nr == 0x18) { /* EVIOCGKEY */
    result = (int)copy_bits(out, size, d->keys, sizeof d->keys);
  } else if (nr == 0x20) { /* EVIOCGBIT(0) */
    result = (int)copy_bits(out, size, types, sizeof types);
  } else if (nr == 0x20 + EV_KEY) {
    result = (int)copy_bits(out, size, keys, sizeof keys);
  } else if (nr == 0x20 + EV_ABS) {
    result = (int)copy_bits(out, size, axes, sizeof axes);
  } else if (nr >= 0x40 && nr < 0x40 + ABS_CNT) { /* EVIOCGABS */
    /* Ten slots, and a tracking-ID range with its minimum equal to its maximum. */
    struct input_absinfo info = {.maximum = nr - 0x40 == ABS_MT_SLOT ? 9 : 0};
    memcpy(out, &info, size = sizeof info);
  } else if (nr == 0x0a) { /* EVIOCGMTSLOTS: every slot's value is 0 */
    result = (int)copy_bits(out, size, NULL, 0);
  } else if (nr == 0x09 || nr == 0x19 || nr == 0x1a || nr == 0x1b || (nr > 0x20 && nr < 0x40)) {
    result =
        (int)copy_bits(out, size, NULL, 0); /* properties, LEDs, sounds, switches, other types */
  } else {
    result = -EINVAL;
  }
  pthread_mutex_unlock(&lock);
  if (result < 0)
    fuse_reply_err(req, -result);
  else
    fuse_reply_ioctl(req, result, out, size);
}

static const struct fuse_lowlevel_ops ops = {
    .lookup = op_lookup,
    .getattr = op_getattr,
    .setattr = op_setattr,
    .mknod = op_mknod,
    .unlink = op_unlink,
    .readdir = op_readdir,
    .open = op_open,
    .release = op_release,
    .read = op_read,
    .poll = op_poll,
    .ioctl = op_ioctl,
};

/* ---- commands ----------------------------------------------------------- */

static int key_code(const char *text) {
  char *end;
  long n = strtol(text, &end, 0);
  if (*text && !*end) return n >= 0 && n < KEY_CNT ? (int)n : -1;
  char name[64];
  snprintf(name, sizeof name, "%s%s", strncasecmp(text, "KEY_", 4) ? "KEY_" : "", text);
  for (char *p = name; *p; p++) *p = (char)toupper((unsigned char)*p);
  return libevdev_event_code_from_name(EV_KEY, name);
}

/* Commands that change what the mount shows go through the mount itself, so
 * that inotify watchers see them; they must run without the lock held. */
static const char *path_command(const char *verb, const char *name, char **words, int n) {
  char path[PATH_MAX];
  snprintf(path, sizeof path, "%s/%s", mountpoint, name);
  if (strcmp(verb, "add") == 0) {
    pthread_mutex_lock(&lock);
    int exists = find_device(name) != NULL;
    if (!exists) {
      struct device *d = calloc(1, sizeof *d);
      snprintf(d->name, sizeof d->name, "%s", name);
      d->ino = next_ino++;
      d->mode = 0660;
      for (int i = 0; i < n; i++) {
        if (strcmp(words[i], "nofn") == 0)
          d->kind = KEYBOARD_WITHOUT_FN;
        else if (strcmp(words[i], "pedal") == 0)
          d->kind = PEDAL;
        else if (strcmp(words[i], "mouse") == 0)
          d->kind = MOUSE;
        else if (strcmp(words[i], "badtouch") == 0)
          d->kind = BAD_TOUCHSCREEN;
        else
          d->mode = (mode_t)strtol(words[i], NULL, 8);
      }
      d->next = devices;
      devices = d;
    }
    pthread_mutex_unlock(&lock);
    if (exists) return "exists";
    return mknod(path, S_IFREG | 0660, 0) == 0 ? NULL : strerror(errno);
  }
  if (strcmp(verb, "remove") == 0) {
    pthread_mutex_lock(&lock);
    struct device *d = find_device(name);
    if (d) d->gone = 1;
    wake_all();
    pthread_mutex_unlock(&lock);
    if (!d) return "no such device";
    return unlink(path) == 0 ? NULL : strerror(errno);
  }
  if (n < 1) return "chmod needs a mode";
  return chmod(path, (mode_t)strtol(words[0], NULL, 8)) == 0 ? NULL : strerror(errno);
}

static int settled(const char *name, const char *until) {
  struct device *d = find_device(name);
  for (struct device *x = devices; x && !d; x = x->next) /* else the latest one unplugged */
    if (strcmp(x->name, name) == 0) d = x;
  if (!d) return -1;
  int readers = 0, queued = 0;
  for (int i = 0; i < MAX_CLIENTS; i++)
    if (d->clients[i]) readers++, queued += d->clients[i]->count;
  if (until && strcmp(until, "open") == 0) return readers > 0;
  if (until && strcmp(until, "closed") == 0) return readers == 0;
  return queued == 0;
}

/* Called with the lock held; waits at most ten seconds. */
static const char *wait_command(const char *name, const char *until) {
  struct timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += 10;
  for (;;) {
    int state = settled(name, until);
    if (state < 0) return "no such device";
    if (state > 0) return NULL;
    if (pthread_cond_timedwait(&readers_changed, &lock, &deadline) != 0) return "timed out";
  }
}

/* Event commands; called with the lock held. */
static const char *event_command(const char *verb, struct device *d, char **words, int n) {
  if (strcmp(verb, "event") == 0) {
    if (n < 3) return "event needs TYPE CODE VALUE";
    inject(d, (unsigned)strtol(words[0], NULL, 0), (unsigned)strtol(words[1], NULL, 0),
           (int)strtol(words[2], NULL, 0));
    return NULL;
  }
  if (strcmp(verb, "flood") == 0) {
    long count = n > 0 ? strtol(words[0], NULL, 0) : 0;
    for (long i = 0; i < count; i++) {
      inject(d, EV_KEY, KEY_A, 1);
      inject(d, EV_SYN, SYN_REPORT, 0);
      inject(d, EV_KEY, KEY_A, 0);
      inject(d, EV_SYN, SYN_REPORT, 0);
    }
    return NULL;
  }
  int value = strcmp(verb, "press") == 0     ? 1
              : strcmp(verb, "release") == 0 ? 0
              : strcmp(verb, "repeat") == 0  ? 2
                                             : -1;
  if (value < 0) return "unknown command";
  int code = n > 0 ? key_code(words[0]) : -1;
  if (code < 0) return "unknown key";
  inject(d, EV_KEY, (unsigned)code, value);
  inject(d, EV_SYN, SYN_REPORT, 0);
  return NULL;
}

static const char *run_line(char *line) {
  char *commands[64];
  int count = 0;
  for (char *save, *cmd = strtok_r(line, ";", &save); cmd && count < 64;
       cmd = strtok_r(NULL, ";", &save))
    commands[count++] = cmd;
  const char *error = NULL;
  pthread_mutex_lock(&lock);
  for (int i = 0; i < count && !error; i++) {
    char *words[8];
    int n = 0;
    for (char *save, *w = strtok_r(commands[i], " \t\r\n", &save); w && n < 8;
         w = strtok_r(NULL, " \t\r\n", &save))
      words[n++] = w;
    if (n == 0) continue;
    if (n < 2) {
      error = "command needs a device name";
    } else if (!strcmp(words[0], "wait")) {
      wake_all(); /* the readers must learn of what this line queued so far */
      error = wait_command(words[1], n > 2 ? words[2] : NULL);
    } else if (!strcmp(words[0], "add") || !strcmp(words[0], "remove") ||
               !strcmp(words[0], "chmod")) {
      pthread_mutex_unlock(&lock);
      error = path_command(words[0], words[1], words + 2, n - 2);
      pthread_mutex_lock(&lock);
    } else {
      struct device *d = find_device(words[1]);
      error = d ? event_command(words[0], d, words + 2, n - 2) : "no such device";
    }
  }
  wake_all();
  pthread_mutex_unlock(&lock);
  return error;
}

static void answer_interrupted_reads(void) {
  uint64_t ignored;
  if (read(interrupt_fd, &ignored, sizeof ignored) < 0) return;
  pthread_mutex_lock(&lock);
  for (struct device *d = devices; d; d = d->next)
    for (int i = 0; i < MAX_CLIENTS; i++) {
      struct client *c = d->clients[i];
      if (c && c->parked_read && atomic_exchange(&c->interrupted, 0)) {
        fuse_reply_err(c->parked_read, EINTR);
        c->parked_read = NULL;
      }
    }
  pthread_mutex_unlock(&lock);
}

static void *control_thread(void *arg) {
  int listener = *(int *)arg;
  struct pollfd fds[2 + 16] = {{listener, POLLIN, 0}, {interrupt_fd, POLLIN, 0}};
  char buffers[16][4096];
  size_t filled[16] = {0};
  int nfds = 2;
  for (;;) {
    if (poll(fds, (nfds_t)nfds, -1) < 0) continue;
    if (fds[1].revents) answer_interrupted_reads();
    if ((fds[0].revents & POLLIN) && nfds < 18) {
      filled[nfds - 2] = 0;
      fds[nfds++] = (struct pollfd){accept4(listener, NULL, NULL, SOCK_CLOEXEC), POLLIN, 0};
    }
    for (int i = 2; i < nfds; i++) {
      if (!fds[i].revents) continue;
      char *buf = buffers[i - 2];
      ssize_t got = read(fds[i].fd, buf + filled[i - 2], sizeof buffers[0] - 1 - filled[i - 2]);
      if (got <= 0) { /* connection closed */
        close(fds[i].fd);
        fds[i] = fds[--nfds];
        memmove(buffers[i - 2], buffers[nfds - 2], sizeof buffers[0]);
        filled[i - 2] = filled[nfds - 2];
        i--;
        continue;
      }
      filled[i - 2] += (size_t)got;
      char *newline;
      while ((newline = memchr(buf, '\n', filled[i - 2]))) {
        *newline = '\0';
        const char *error = run_line(buf);
        char reply[256];
        int len = error ? snprintf(reply, sizeof reply, "error: %s\n", error)
                        : snprintf(reply, sizeof reply, "ok\n");
        if (write(fds[i].fd, reply, (size_t)len) < 0) perror("vkbd: reply");
        size_t rest = filled[i - 2] - (size_t)(newline + 1 - buf);
        memmove(buf, newline + 1, rest);
        filled[i - 2] = rest;
      }
    }
  }
  return NULL;
}

static int listen_on(const char *path) {
  struct sockaddr_un address = {.sun_family = AF_UNIX};
  snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  unlink(path);
  if (fd < 0 || bind(fd, (struct sockaddr *)&address, sizeof address) != 0 || listen(fd, 8) != 0) {
    perror("vkbd: socket");
    exit(1);
  }
  return fd;
}

static int connect_to(const char *path) {
  struct sockaddr_un address = {.sun_family = AF_UNIX};
  snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, (struct sockaddr *)&address, sizeof address) != 0) {
    perror("vkbd: connect");
    exit(1);
  }
  return fd;
}

static int send_commands(const char *path, char **commands, int count) {
  int fd = connect_to(path), failed = 0;
  for (int i = 0; i < count; i++) {
    char answer[256];
    size_t n = 0;
    if (write(fd, commands[i], strlen(commands[i])) < 0 || write(fd, "\n", 1) < 0) return 1;
    while (n < sizeof answer - 1 && read(fd, answer + n, 1) == 1 && answer[n] != '\n') n++;
    answer[n] = '\0';
    printf("%s\n", answer);
    failed |= strcmp(answer, "ok") != 0;
  }
  return failed;
}

int main(int argc, char **argv) {
  if (argc >= 3 && strcmp(argv[1], "--send") == 0)
    return send_commands(argv[2], argv + 3, argc - 3);
  if (argc != 3) {
    fprintf(stderr, "usage: %s MOUNTPOINT SOCKET | --send SOCKET COMMAND...\n", argv[0]);
    return 2;
  }
  mountpoint = argv[1];
  char *fuse_argv[] = {argv[0], "-o", "allow_other,default_permissions,auto_unmount,fsname=vkbd"};
  struct fuse_args args = FUSE_ARGS_INIT(3, fuse_argv);
  session = fuse_session_new(&args, &ops, sizeof ops, NULL);
  if (!session || fuse_session_mount(session, mountpoint) != 0) {
    fprintf(stderr, "vkbd: cannot mount %s\n", mountpoint);
    return 1;
  }
  fuse_set_signal_handlers(session);
  interrupt_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  static int listener;
  listener = listen_on(argv[2]);
  pthread_t thread;
  pthread_create(&thread, NULL, control_thread, &listener);
  printf("ready\n");
  fflush(stdout);
  int status = fuse_session_loop(session);
  fuse_session_unmount(session);
  unlink(argv[2]);
  return status < 0 ? 1 : 0;
}
