/* A stand-in for the game, used by the demo: a real little program that says it started,
 * where, and with which arguments, and appends the same line to "started.log" in its
 * working folder (the install folder when the setup program launches it). */
#include <stdio.h>
#include <unistd.h>

#ifndef GAME_VERSION
#define GAME_VERSION "0"
#endif

int main(int argc, char** argv) {
  char cwd[4096];
  if (!getcwd(cwd, sizeof cwd)) snprintf(cwd, sizeof cwd, "?");
  char line[8192];
  int n = snprintf(line, sizeof line, "Varnholt %s started in %s with %d argument(s):", GAME_VERSION,
                   cwd, argc);
  for (int i = 0; i < argc && n > 0 && (size_t)n < sizeof line; ++i)
    n += snprintf(line + n, sizeof line - n, " [%s]", argv[i]);
  puts(line);
  FILE* log = fopen("started.log", "a");
  if (log) {
    fprintf(log, "%s\n", line);
    fclose(log);
  }
  return 0;
}
