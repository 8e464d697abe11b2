// The one place where stb_image_write is compiled. Only its JPEG writer is
// used, through a callback; its own file functions are left out.
#define STBI_WRITE_NO_STDIO
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>
