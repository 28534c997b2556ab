/* xkeys: key presses sent to an X server by exact keycode through XTEST, for
 * testing programs that read X Input 2 raw key events (Xvfb has XTEST).
 *
 *   xkeys [COMMAND...]
 *
 * Connects to the display that DISPLAY names (authorised as XAUTHORITY
 * says), prints "ready", then runs each COMMAND given, or else one line of
 * standard input after another, and answers each with "ok" or "error: ...".
 * Commands joined with ';' on one line go out together. Every answer comes
 * after a round trip, so the server has handled the line by then:
 *
 *   press KEYCODE | release KEYCODE  XTEST's key press or release (8 to 255)
 *   flood COUNT                      COUNT presses and releases of keycode 38 (A)
 *   grab | ungrab                    this client grabs the keyboard, or lets go
 *   held                             answers "ok" and the keycodes held down
 *   focus NAME                       gives the keyboard focus to the window whose
 *                                    WM_NAME is NAME, waiting up to 5 s for it
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#define LETTER_A 38

static xcb_connection_t *connection;
static xcb_window_t root;

static int fake(uint8_t type, long keycode) {
  if (keycode < 8 || keycode > 255) return 0;
  xcb_test_fake_input(connection, type, (uint8_t)keycode, XCB_CURRENT_TIME, root, 0, 0, 0);
  return 1;
}

static const char *grab(void) {
  xcb_grab_keyboard_reply_t *reply =
      xcb_grab_keyboard_reply(connection,
                              xcb_grab_keyboard(connection, 0, root, XCB_CURRENT_TIME,
                                                XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                              NULL);
  int granted = reply && reply->status == XCB_GRAB_STATUS_SUCCESS;
  free(reply);
  return granted ? NULL : "grab refused";
}

/* The window below top whose WM_NAME is name, or XCB_NONE. */
static xcb_window_t find_window(xcb_window_t top, const char *name) {
  xcb_get_property_reply_t *title = xcb_get_property_reply(
      connection,
      xcb_get_property(connection, 0, top, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 0, 256), NULL);
  int match = title && (size_t)xcb_get_property_value_length(title) == strlen(name) &&
              !memcmp(xcb_get_property_value(title), name, strlen(name));
  free(title);
  if (match) return top;
  xcb_query_tree_reply_t *tree =
      xcb_query_tree_reply(connection, xcb_query_tree(connection, top), NULL);
  xcb_window_t found = XCB_NONE;
  if (tree) {
    xcb_window_t *children = xcb_query_tree_children(tree);
    for (int i = 0; i < xcb_query_tree_children_length(tree) && found == XCB_NONE; i++)
      found = find_window(children[i], name);
  }
  free(tree);
  return found;
}

/* The window may not be mapped yet when its program says it is ready. */
static const char *focus(const char *name) {
  const struct timespec pause = {0, 50 * 1000 * 1000};
  for (int attempt = 0; attempt < 100; attempt++) {
    xcb_window_t window = find_window(root, name);
    if (window != XCB_NONE) {
      xcb_set_input_focus(connection, XCB_INPUT_FOCUS_PARENT, window, XCB_CURRENT_TIME);
      return NULL;
    }
    nanosleep(&pause, NULL);
  }
  return "no window of that name";
}

/* The keycodes held down, after " ". */
static void held(char *out, size_t size) {
  xcb_query_keymap_reply_t *reply =
      xcb_query_keymap_reply(connection, xcb_query_keymap(connection), NULL);
  size_t used = 0;
  out[0] = '\0';
  for (int keycode = 0; reply && keycode < 256; keycode++) {
    if (reply->keys[keycode / 8] & (1 << (keycode % 8)) && used + 5 < size)
      used += (size_t)snprintf(out + used, size - used, " %d", keycode);
  }
  free(reply);
}

static const char *run_command(char *command, char *extra, size_t extra_size) {
  char *words[3];
  int n = 0;
  for (char *save, *w = strtok_r(command, " \t\r\n", &save); w && n < 3;
       w = strtok_r(NULL, " \t\r\n", &save))
    words[n++] = w;
  if (n == 0) return NULL;
  char *end = NULL;
  long number = n > 1 ? strtol(words[1], &end, 10) : -1;
  int numeric = n == 2 && end && *end == '\0';
  if (!strcmp(words[0], "press") || !strcmp(words[0], "release")) {
    if (!numeric) return "needs a keycode";
    int type = words[0][0] == 'p' ? XCB_KEY_PRESS : XCB_KEY_RELEASE;
    return fake((uint8_t)type, number) ? NULL : "keycode out of range";
  }
  if (!strcmp(words[0], "focus")) return n == 2 ? focus(words[1]) : "needs a window name";
  if (!strcmp(words[0], "flood")) {
    if (!numeric || number < 0) return "needs a count";
    for (long i = 0; i < number; i++) {
      fake(XCB_KEY_PRESS, LETTER_A);
      fake(XCB_KEY_RELEASE, LETTER_A);
    }
    return NULL;
  }
  if (n != 1) return "unknown command";
  if (!strcmp(words[0], "grab")) return grab();
  if (!strcmp(words[0], "ungrab")) {
    xcb_ungrab_keyboard(connection, XCB_CURRENT_TIME);
    return NULL;
  }
  if (!strcmp(words[0], "held")) {
    held(extra, extra_size);
    return NULL;
  }
  return "unknown command";
}

/* Runs the commands of one line, then waits for the server to handle them. */
static int run_line(char *line) {
  char extra[1024] = "";
  const char *error = NULL;
  for (char *save, *command = strtok_r(line, ";", &save); command && !error;
       command = strtok_r(NULL, ";", &save))
    error = run_command(command, extra, sizeof extra);
  free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), NULL));
  if (xcb_connection_has_error(connection)) error = "the X server is gone";
  if (error) {
    printf("error: %s\n", error);
  } else {
    printf("ok%s\n", extra);
  }
  fflush(stdout);
  return error == NULL;
}

int main(int argc, char **argv) {
  int screen_number = 0;
  connection = xcb_connect(NULL, &screen_number);
  if (xcb_connection_has_error(connection)) {
    fprintf(stderr, "xkeys: cannot connect to the X server\n");
    return 1;
  }
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int i = 0; i < screen_number; i++) xcb_screen_next(&screens);
  root = screens.data->root;
  printf("ready\n");
  fflush(stdout);
  int failed = 0;
  if (argc > 1) {
    for (int i = 1; i < argc; i++) failed |= !run_line(argv[i]);
    return failed;
  }
  char line[4096];
  while (fgets(line, sizeof line, stdin)) run_line(line);
  return 0;
}
