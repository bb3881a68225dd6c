/* The file-I/O block through which the VP program borrows the host's files:
 * request codes, the byte offsets of its words and fields, the size the host
 * copies per request, open flags, attribute bits and the search record. Plain
 * C, shared by the library, the VP runtime, the virtual board and the tests. */
#ifndef HB_PROTOCOL_FILE_IO_BLOCK_H
#define HB_PROTOCOL_FILE_IO_BLOCK_H

#include <stdint.h>

/* Request codes in the code word of the file-I/O block. */
typedef enum FileIoRequest {
    FileIoRequest_Open = 7,
    FileIoRequest_Read = 8,
    FileIoRequest_Write = 9,
    FileIoRequest_Close = 10,
    FileIoRequest_Seek = 11,
    FileIoRequest_Open2 = 12,
    FileIoRequest_Delete = 13,
    FileIoRequest_CommandLine = 15,
    FileIoRequest_Exit = 16,
    FileIoRequest_FindFirst = 17,
    FileIoRequest_FindNext = 18,
    FileIoRequest_FindClose = 19,
    FileIoRequest_Attributes = 20,
    FileIoRequest_Rename = 21,
    FileIoRequest_EnvironmentSize = 22,
    FileIoRequest_Environment = 23,
    FileIoRequest_UseCustomerMemory = 24
} FileIoRequest;

/* What the host copies of the block per request; the host writes the marker
 * into the code word once the answer stands. */
#define HB_FILEIO_BLOCK_SIZE 528u
#define HB_FILEIO_COMPLETION_MARKER 0xFFFFFFFFu
#define HB_FILEIO_PATH_SIZE 261u
#define HB_FILEIO_COMMAND_LINE_SIZE 256u

/* Byte offsets in the block. Requests put their words at ARGUMENT, SECOND and
 * THIRD; answers give the result at ARGUMENT and the error word at SECOND
 * (Attributes: the error first). */
#define HB_FILEIO_CODE 0u
#define HB_FILEIO_ARGUMENT 4u
#define HB_FILEIO_SECOND 8u
#define HB_FILEIO_THIRD 12u        /* Seek's origin */
#define HB_FILEIO_PATH 4u          /* the path, pattern or old path */
#define HB_FILEIO_SECOND_PATH 265u /* Rename's new path */
#define HB_FILEIO_OPEN2_FLAGS 268u
#define HB_FILEIO_OPEN_FLAGS 272u
#define HB_FILEIO_READ_WRITE_DATA 12u /* after descriptor and count */
#define HB_FILEIO_ENVIRONMENT_DATA 8u /* after the count */
#define HB_FILEIO_COMMAND_LINE 4u
#define HB_FILEIO_FIND_RECORD 4u /* FindFirst's and FindNext's answer */
#define HB_FILEIO_FIND_RECORD_SIZE 284u

/* Open flags as the VP sends them (the Microsoft runtime's _open bits). */
#define HB_O_RDONLY 0x0000u
#define HB_O_WRONLY 0x0001u
#define HB_O_RDWR 0x0002u
#define HB_O_APPEND 0x0008u
#define HB_O_CREAT 0x0100u
#define HB_O_TRUNC 0x0200u
#define HB_O_EXCL 0x0400u
#define HB_O_BINARY 0x8000u

/* File attribute bits. */
#define HB_FILE_ATTRIBUTE_READONLY 0x01u
#define HB_FILE_ATTRIBUTE_HIDDEN 0x02u
#define HB_FILE_ATTRIBUTE_SYSTEM 0x04u
#define HB_FILE_ATTRIBUTE_DIRECTORY 0x10u
#define HB_FILE_ATTRIBUTE_ARCHIVE 0x20u
#define HB_FILE_ATTRIBUTE_NORMAL 0x80u
#define HB_INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu

/* Answer of FindFirst and FindNext, HB_FILEIO_FIND_RECORD_SIZE bytes from
 * HB_FILEIO_FIND_RECORD; the name is NUL-terminated. Byte offsets of its
 * fields from the record's start: */
#define HB_FIND_RECORD_NAME 0u
#define HB_FIND_RECORD_NAME_SIZE 264u
#define HB_FIND_RECORD_ATTRIBUTES 264u
#define HB_FIND_RECORD_DOS_TIME 268u
#define HB_FIND_RECORD_DOS_DATE 272u
#define HB_FIND_RECORD_SIZE_LOW 276u
#define HB_FIND_RECORD_HANDLE_OR_ERROR 280u
typedef struct FindRecord {
    char name[264];
    uint32_t attributes;
    uint32_t dosTime;
    uint32_t dosDate;
    uint32_t sizeLow;
    uint32_t handleOrError;
} FindRecord;

#endif
