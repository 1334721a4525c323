// Reading an image file's trailer into the shared state.
#pragma once

// Measures the file at `path` and reads its 30-byte trailer by the position
// rule into ImageSize, ImageTrailer, ImageModel and ImageVersion. On any
// failure (the file cannot be opened, is too short for the position rule, is
// 2 GiB or more, a seek or read falls short) it returns false; ImageSize is
// then 0 and no trailer of an earlier file is left to be taken for this one's.
bool ReadImageTrailer(const char *path);
