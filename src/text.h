// text.h: small text helpers shared by the core and the backends.
#pragma once

// Case-insensitive comparison folding A-Z onto a-z only (no locale); 0 when equal.
int compare_no_case(const char *a, const char *b);
