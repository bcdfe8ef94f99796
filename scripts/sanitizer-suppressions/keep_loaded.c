/* Preloaded into every process of the address-sanitizer run (scripts/sanitizers): libraries
   stay mapped until the process exits. Mesa's libraries are unloaded when SDL closes its
   renderer; what their globals still held would then look lost to the leak check at exit,
   and their code could not be named in a report. */
int dlclose(void *handle) {
  (void)handle;
  return 0;
}
