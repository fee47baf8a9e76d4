// Numbers in configuration files and protocol options: decimal digits only.
#pragma once

// The value of a text of 1 to 9 decimal digits and nothing else (no sign, no
// blank); -1 for any other text.
long ParseDecimal(const char* sz);
