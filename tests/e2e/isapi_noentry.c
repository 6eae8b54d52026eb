/* A library that is no extension: it exports no entry point. */
int NotAnExtension(void) { return 1; }
