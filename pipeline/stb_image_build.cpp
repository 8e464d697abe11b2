// The one place where stb_image's decoder is compiled, with the settings the
// whole program relies on: JPEG and PNG only, no side longer than 32768.
#define STBI_ONLY_JPEG
#define STBI_ONLY_PNG
#define STBI_MAX_DIMENSIONS 32768
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>
