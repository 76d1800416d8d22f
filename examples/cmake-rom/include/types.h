/* The byte type the generated ROM files expect. */
#ifndef TYPES_H
#define TYPES_H
typedef unsigned char u8;
#endif
