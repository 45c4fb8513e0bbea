/* win_exit_now.c: benchmark target for Windows: exits at once. */
int main(void) { return 0; }
