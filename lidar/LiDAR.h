/* LiDAR: the shared module of the Corvale lidar utilities.
 *
 * Packed byte images of the LAS 1.0-1.2 public header and of point formats
 * 0-3, and the routines the family's tools link: file and argument checks,
 * LAS validation, the in-place header update, blank headers and
 * index-carrying sorts. Usable from C (C99) and C++; the routines have C
 * linkage. No routine accepts a NULL pointer: every name, header and array
 * passed must be a valid one. */
#ifndef LIDAR_LIDAR_H
#define LIDAR_LIDAR_H

#include <stdint.h>

/* LIDAR_VERSION_MAJOR, _MINOR, _PATCH and _STRING. */
#include "lidar_version.h"

#if defined(_WIN32)
#  if defined(LIDAR_BUILDING)
#    define LIDAR_API __declspec(dllexport)
#  elif defined(LIDAR_DLL)
#    define LIDAR_API __declspec(dllimport)
#  else
#    define LIDAR_API
#  endif
#elif defined(__GNUC__)
#  define LIDAR_API __attribute__((visibility("default")))
#else
#  define LIDAR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Every record is a byte image of the file: no padding between fields. */
#pragma pack(push, 1)

typedef struct LAS10Header {
    char LASF[4];
    uint32_t Reserved;
    uint32_t GUIDData1;
    uint16_t GUIDData2;
    uint16_t GUIDData3;
    uint8_t GUIDData4[8];
    uint8_t VersionMajor;
    uint8_t VersionMinor;
    char SystemIdentifier[32];
    char GeneratingSoftware[32];
    uint16_t FlightDateJulian;
    uint16_t Year;
    uint16_t HeaderSize;
    uint32_t OffsetToData;
    uint32_t NumberOfVariableLengthRecords;
    uint8_t PointDataFormatID;
    uint16_t PointDataRecordLength;
    uint32_t NumberOfPointReturns;
    uint32_t NumberOfPointsByReturn[5];
    double XScaleFactor;
    double YScaleFactor;
    double ZScaleFactor;
    double XOffset;
    double YOffset;
    double ZOffset;
    double MaxX;
    double MinX;
    double MaxY;
    double MinY;
    double MaxZ;
    double MinZ;
} LAS10Header;

typedef struct LAS11Header {
    char LASF[4];
    uint16_t FileSourceID;
    uint16_t Reserved;
    uint32_t GUIDData1;
    uint16_t GUIDData2;
    uint16_t GUIDData3;
    uint8_t GUIDData4[8];
    uint8_t VersionMajor;
    uint8_t VersionMinor;
    char SystemIdentifier[32];
    char GeneratingSoftware[32];
    uint16_t FileCreationDay;
    uint16_t FileCreationYear;
    uint16_t HeaderSize;
    uint32_t OffsetToData;
    uint32_t NumberOfVariableLengthRecords;
    uint8_t PointDataFormatID;
    uint16_t PointDataRecordLength;
    uint32_t NumberOfPointReturns;
    uint32_t NumberOfPointsByReturn[5];
    double XScaleFactor;
    double YScaleFactor;
    double ZScaleFactor;
    double XOffset;
    double YOffset;
    double ZOffset;
    double MaxX;
    double MinX;
    double MaxY;
    double MinY;
    double MaxZ;
    double MinZ;
} LAS11Header;

typedef struct LAS12Header {
    char LASF[4];
    uint16_t FileSourceID;
    uint16_t GlobalEncoding;
    uint32_t GUIDData1;
    uint16_t GUIDData2;
    uint16_t GUIDData3;
    uint8_t GUIDData4[8];
    uint8_t VersionMajor;
    uint8_t VersionMinor;
    char SystemIdentifier[32];
    char GeneratingSoftware[32];
    uint16_t FileCreationDay;
    uint16_t FileCreationYear;
    uint16_t HeaderSize;
    uint32_t OffsetToData;
    uint32_t NumberOfVariableLengthRecords;
    uint8_t PointDataFormatID;
    uint16_t PointDataRecordLength;
    uint32_t NumberOfPointReturns;
    uint32_t NumberOfPointsByReturn[5];
    double XScaleFactor;
    double YScaleFactor;
    double ZScaleFactor;
    double XOffset;
    double YOffset;
    double ZOffset;
    double MaxX;
    double MinX;
    double MaxY;
    double MinY;
    double MaxZ;
    double MinZ;
} LAS12Header;

/* bitfield: bits 0-2 return number, 3-5 number of returns, 6 scan
 * direction, 7 edge of flight line. */
typedef struct LAS12fm0 {
    int32_t X;
    int32_t Y;
    int32_t Z;
    uint16_t Intensity;
    int8_t bitfield;
    uint8_t Classification;
    uint8_t ScanAngleRank; /* unsigned as always; LAS stores it signed: cast to int8_t */
    uint8_t UserData;
    uint16_t PointSourceID;
} LAS12fm0;

typedef struct LAS12fm1 {
    int32_t X;
    int32_t Y;
    int32_t Z;
    uint16_t Intensity;
    int8_t bitfield;
    uint8_t Classification;
    uint8_t ScanAngleRank; /* unsigned as always; LAS stores it signed: cast to int8_t */
    uint8_t UserData;
    uint16_t PointSourceID;
    double GPSTime;
} LAS12fm1;

typedef struct LAS12fm2 {
    int32_t X;
    int32_t Y;
    int32_t Z;
    uint16_t Intensity;
    int8_t bitfield;
    uint8_t Classification;
    uint8_t ScanAngleRank; /* unsigned as always; LAS stores it signed: cast to int8_t */
    uint8_t UserData;
    uint16_t PointSourceID;
    uint16_t Red;
    uint16_t Green;
    uint16_t Blue;
} LAS12fm2;

typedef struct LAS12fm3 {
    int32_t X;
    int32_t Y;
    int32_t Z;
    uint16_t Intensity;
    int8_t bitfield;
    uint8_t Classification;
    uint8_t ScanAngleRank; /* unsigned as always; LAS stores it signed: cast to int8_t */
    uint8_t UserData;
    uint16_t PointSourceID;
    double GPSTime;
    uint16_t Red;
    uint16_t Green;
    uint16_t Blue;
} LAS12fm3;

#pragma pack(pop)

/* A build that pads any record misreads every field after the gap. */
#if defined(__cplusplus)
#  define LIDAR_SIZE_CHECK(T, n) static_assert(sizeof(T) == (n), #T " must be " #n " bytes");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#  define LIDAR_SIZE_CHECK(T, n) _Static_assert(sizeof(T) == (n), #T " must be " #n " bytes");
#else
/* C99 has no static assertion: an array of negative size stops the build. */
#  define LIDAR_SIZE_CHECK(T, n) typedef char lidar_size_check_##T[(sizeof(T) == (n)) ? 1 : -1];
#endif
LIDAR_SIZE_CHECK(LAS10Header, 227)
LIDAR_SIZE_CHECK(LAS11Header, 227)
LIDAR_SIZE_CHECK(LAS12Header, 227)
LIDAR_SIZE_CHECK(LAS12fm0, 20)
LIDAR_SIZE_CHECK(LAS12fm1, 28)
LIDAR_SIZE_CHECK(LAS12fm2, 26)
LIDAR_SIZE_CHECK(LAS12fm3, 34)
#undef LIDAR_SIZE_CHECK

/* Banner of the utility family. */
LIDAR_API void credits(void);

/* File checks. Status codes: 0 success, -1 failure (message printed). */
LIDAR_API int16_t file_access(const char* filename);
LIDAR_API int16_t check_file_extension(const char* filename, const char* extension);
LIDAR_API void error_msg(int i, const char* text);

/* LAS type code 1..8 for an accepted file, 0 for version 1.0/1.1 with
 * point format 2 or 3, -1 for a rejected one (message printed). */
LIDAR_API int16_t check_las(const char* filename);

/* Recomputes point count, counts by return and extents and rewrites the
 * header in place; ends the process with -1 on any failure. */
LIDAR_API void update_header(const char* filename);

/* Blank headers for new files. */
LIDAR_API void initialize_header10(LAS10Header* ph);
LIDAR_API void initialize_header11(LAS11Header* ph);
LIDAR_API void initialize_header12(LAS12Header* ph);

/* Argument checks; the two without a result end the process on rejection. */
LIDAR_API int16_t check_YN(const char* text);
LIDAR_API void check_numeric_argument(const char* str);
LIDAR_API void check_DEM(const char* str);

/* Ascending in-place sorts that permute p_ind exactly as p. The partitioning
 * (middle pivot, equal values exchanged) is fixed, because callers may rely
 * on the exact index arrays it leaves, equal values and NaNs included. The
 * depth-counting (_parallel_) routines run on the calling thread and leave
 * exactly what the plain ones leave. Stack depth stays logarithmic, but
 * time grows with the square of the count for unfavourable orders such as
 * ascending-then-descending input: 200,000 such entries take about 8 s on
 * a 2-core x86-64 machine. */
LIDAR_API void l_quicksort(int32_t* p, int32_t count, int32_t* p_ind);
LIDAR_API void l_qs(int32_t* p, int32_t left, int32_t right, int32_t* p_ind);
LIDAR_API void d_quicksort(double* p, int32_t count, int32_t* p_ind);
LIDAR_API void d_qs(double* p, int32_t left, int32_t right, int32_t* p_ind);
LIDAR_API void l_parallel_quicksort(int32_t* p, int32_t count, int32_t* p_ind);
LIDAR_API void l_parallel_qs(int32_t* p, int32_t left, int32_t right, int32_t* p_ind, int32_t deep);
LIDAR_API void d_parallel_quicksort(double* p, int32_t count, int32_t* p_ind);
LIDAR_API void d_parallel_qs(double* p, int32_t left, int32_t right, int32_t* p_ind, int32_t deep);

#ifdef __cplusplus
}
#endif

#endif
