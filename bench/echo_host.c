/* echo_host: the baseline of the round-trip benchmark. A minimal process that
 * speaks the same pattern over the same pipes as the plugin does for a
 * request that needs one host service: it reads a request, writes one
 * request to the host, reads the host's answer and writes its response,
 * with texts of the plugin's lengths. No parsing, no allocation: whatever it
 * costs is the cost of the pipes and the process switches.
 * Messages are framed by brace balance (the texts carry no braces inside
 * strings). Ends at the end of its input. */
#include <stdio.h>
#include <string.h>
#include <unistd.h>

enum { kBufferBytes = 65536 };

static char buffer[kBufferBytes];

/* Reads one brace-balanced message; 0 at the end of input. */
static int read_message(void) {
  size_t length = 0;
  int depth = 0;
  int started = 0;
  for (;;) {
    ssize_t got = read(0, buffer + length, sizeof buffer - 1 - length);
    if (got <= 0) return 0;
    for (ssize_t i = 0; i < got; i++) {
      char c = buffer[length + (size_t)i];
      if (c == '{') { depth++; started = 1; }
      if (c == '}') depth--;
    }
    length += (size_t)got;
    if (started && depth == 0) return 1;
    if (length >= sizeof buffer - 1) return 0;
  }
}

static int write_text(const char* text, int length) {
  return write(1, text, (size_t)length) == length;
}

int main(void) {
  char out[512];
  for (long id = 0;; id++) {
    if (!read_message()) return 0;
    int n = snprintf(out, sizeof out,
                     "{ \"jsonrpc\" : \"2.0\", \"method\" : \"VUSK_Service_Probe\", "
                     "\"params\" : { \"expression\" : \"x\" }, \"id\" : %ld }", id);
    if (!write_text(out, n) || !read_message()) return 0;
    n = snprintf(out, sizeof out,
                 "{ \"jsonrpc\" : \"2.0\", \"result\" : { \"answer\" : 1, \"return\" : 0 }, \"id\" : %ld }", id + 1);
    if (!write_text(out, n)) return 0;
  }
}
