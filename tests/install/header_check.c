/* The installed public header beside a system header that defines BLOCK_SIZE: it must compile
 * with every warning an error, as C and as C++, and leave the system's BLOCK_SIZE alone. */
#include <linux/fs.h>

#include <kelu/ORVA.h>

int main(void) { return BLOCK_SIZE == 1024 && KELU_OK == 0 ? 0 : 1; }
