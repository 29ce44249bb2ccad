/* Sizes inside the toolkit's file operations (not part of the public interface). */
#ifndef KELU_LIMITS_H
#define KELU_LIMITS_H

/* Plain files larger than this are refused with KELU_ERR_FILE_TOO_LARGE. */
#define FILE_SIZE_LIMIT              524288000
/* File operations read and write this many bytes at a time. */
#define BLOCK_SIZE                   16384

#endif
