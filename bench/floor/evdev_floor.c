/* The latency floor: a bare libevdev client that writes one line for each
 * Space key-down of the keyboard it is given, and with "up" also one for each
 * Space key-up.
 *   evdev_floor DEVICE [up] */
#include <errno.h>
#include <fcntl.h>
#include <libevdev/libevdev.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc < 2 || argc > 3) return 2;
  int reportUp = argc == 3 && strcmp(argv[2], "up") == 0;
  int fd = open(argv[1], O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct libevdev *dev = NULL;
  if (fd < 0 || libevdev_new_from_fd(fd, &dev) != 0) return 1;
  for (;;) {
    struct pollfd readable = {fd, POLLIN, 0};
    if (poll(&readable, 1, -1) < 0 && errno != EINTR) return 1;
    struct input_event ev;
    int status, flag = LIBEVDEV_READ_FLAG_NORMAL;
    while ((status = libevdev_next_event(dev, flag, &ev)) != -EAGAIN) {
      if (status < 0) return 0;
      flag =
          status == LIBEVDEV_READ_STATUS_SYNC ? LIBEVDEV_READ_FLAG_SYNC : LIBEVDEV_READ_FLAG_NORMAL;
      if (ev.type != EV_KEY || ev.code != KEY_SPACE) continue;
      if (ev.value == 1 && write(1, "space\n", 6) < 0) return 1;
      if (ev.value == 0 && reportUp && write(1, "up\n", 3) < 0) return 1;
    }
  }
}
