/* The X11 floor: a bare X Input 2 client that selects raw key events as the
 * helper's X11 source does, writes "ready" once they are selected, then one
 * line for each raw Space press, and with "up" also one for each release. It
 * waits in epoll_wait, as the helper does.
 *   DISPLAY=... xi2_floor [up] */
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xinput.h>

#define SPACE_KEYCODE 65

int main(int argc, char **argv) {
  int reportUp = argc == 2 && strcmp(argv[1], "up") == 0;
  xcb_connection_t *c = xcb_connect(NULL, NULL);
  const xcb_query_extension_reply_t *input = xcb_get_extension_data(c, &xcb_input_id);
  if (xcb_connection_has_error(c) || !input || !input->present) return 1;
  free(xcb_input_xi_query_version_reply(
      c, xcb_input_xi_query_version(c, XCB_INPUT_MAJOR_VERSION, XCB_INPUT_MINOR_VERSION), NULL));
  struct {
    xcb_input_event_mask_t header;
    uint32_t bits;
  } mask = {{XCB_INPUT_DEVICE_ALL_MASTER, 1},
            XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_KEY_RELEASE};
  xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  free(xcb_request_check(c, xcb_input_xi_select_events_checked(c, root, 1, &mask.header)));
  int epollFd = epoll_create1(EPOLL_CLOEXEC);
  struct epoll_event watched = {.events = EPOLLIN};
  epoll_ctl(epollFd, EPOLL_CTL_ADD, xcb_get_file_descriptor(c), &watched);
  if (write(1, "ready\n", 6) < 0) return 1;
  for (;;) {
    struct epoll_event ready;
    if (epoll_wait(epollFd, &ready, 1, -1) < 0) continue;
    xcb_generic_event_t *event;
    while ((event = xcb_poll_for_event(c))) {
      xcb_input_raw_key_press_event_t *key = (xcb_input_raw_key_press_event_t *)event;
      int isKey = (event->response_type & 0x7f) == XCB_GE_GENERIC &&
                  key->extension == input->major_opcode && key->detail == SPACE_KEYCODE;
      if (isKey && key->event_type == XCB_INPUT_RAW_KEY_PRESS && write(1, "space\n", 6) < 0)
        return 1;
      if (isKey && key->event_type == XCB_INPUT_RAW_KEY_RELEASE && reportUp &&
          write(1, "up\n", 3) < 0)
        return 1;
      free(event);
    }
    if (xcb_connection_has_error(c)) return 0;
  }
}
