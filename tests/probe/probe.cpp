// probe.cpp: placeholder target for the end-to-end tests.
int main() { return 0; }
