/* The module as a C program sees it: only the public header, built as C99,
 * linked against the library, every routine that returns called once or
 * more and its result checked. The record layouts are checked through the
 * C compiler's view of the structs, so a layout that differs between C and
 * the C++ module shows here. Takes a scratch directory as its argument. */
#include <LiDAR.h>

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures = 0;

#define CHECK(cond)                                                        \
    do {                                                                   \
        if (!(cond)) {                                                     \
            printf("\n%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                    \
        }                                                                  \
    } while (0)

static char dir[1024];

static const char* path(const char* name) {
    static char buf[4][1200];
    static int next = 0;
    char* p = buf[next++ % 4];
    snprintf(p, sizeof buf[0], "%s/%s", dir, name);
    return p;
}

static int write_bytes(const char* name, const void* data, size_t n) {
    FILE* fp = fopen(name, "wb");
    if (fp == NULL) return -1;
    size_t put = fwrite(data, 1, n, fp);
    return (fclose(fp) == 0 && put == n) ? 0 : -1;
}

/* The byte image a blank header must have when the record was filled with
 * `fill` before the call: three text stretches behind a terminator keep it. */
static void expected_blank(unsigned char* b, unsigned char fill, int minor) {
    static const unsigned char one[8] = {0, 0, 0, 0, 0, 0, 0xF0, 0x3F};
    int k;
    memset(b, 0, 227);
    memcpy(b, "LASF", 4);
    memset(b + 17, fill, 7);
    b[24] = 1;
    b[25] = (unsigned char)minor;
    memset(b + 27, fill, 31);
    memcpy(b + 58, "Corvale LiDAR Utilities", 23);
    memset(b + 82, fill, 8);
    b[94] = 0xE3;
    b[96] = 0xE3;
    for (k = 0; k < 3; ++k) memcpy(b + 131 + 8 * k, one, 8);
}

static void blank_headers(void) {
    unsigned char want[227];
    LAS10Header h10;
    LAS11Header h11;
    memset(&h10, 0xFF, sizeof h10);
    memset(&h11, 0, sizeof h11);
    initialize_header10(&h10);
    initialize_header11(&h11);
    expected_blank(want, 0xFF, 0);
    CHECK(memcmp(&h10, want, 227) == 0);
    expected_blank(want, 0x00, 1);
    CHECK(memcmp(&h11, want, 227) == 0);
    /* The same values through the C view of the fields. */
    {
        LAS12Header h;
        memset(&h, 0, sizeof h);
        initialize_header12(&h);
        expected_blank(want, 0x00, 2);
        CHECK(memcmp(&h, want, 227) == 0);
        CHECK(h.HeaderSize == 227 && h.OffsetToData == 227);
        CHECK(h.XScaleFactor == 1.0 && h.YScaleFactor == 1.0 && h.ZScaleFactor == 1.0);
        CHECK(strcmp(h.GeneratingSoftware, "Corvale LiDAR Utilities") == 0);
        CHECK(h.VersionMajor == 1 && h.VersionMinor == 2 && h.SystemIdentifier[0] == 0);
    }
}

static void file_checks(void) {
    const char* present = path("present.txt");
    CHECK(write_bytes(present, "x", 1) == 0);
    CHECK(file_access(present) == 0);
    CHECK(file_access(path("absent.txt")) == -1);
    CHECK(check_file_extension("tile.las", "las") == 0);
    CHECK(check_file_extension("tile.LAS", "las") == -1);
    CHECK(check_file_extension("a.la", "las") == -1);
    CHECK(check_file_extension("tile_las", "las") == -1);
    error_msg(2, present);
    error_msg(3, present);
    error_msg(7, present);
    credits();
    remove(present);
}

/* A LAS file with a blank header of the given version, point format 1 or 0
 * and the given scaled points (return number 1, 2, 1, ...). */
static int write_las(const char* name, int minor, int format, const int32_t (*xyz)[3], int n) {
    unsigned char buf[227 + 8 * 28];
    LAS12Header h;
    int k;
    size_t reclen = format == 1 ? sizeof(LAS12fm1) : sizeof(LAS12fm0);
    memset(&h, 0, sizeof h);
    initialize_header12(&h);
    h.VersionMinor = (uint8_t)minor;
    h.PointDataFormatID = (uint8_t)format;
    h.PointDataRecordLength = (uint16_t)reclen;
    h.NumberOfPointReturns = 99; /* stale on purpose */
    h.XScaleFactor = 0.5;
    h.ZOffset = 100.0;
    memcpy(buf, &h, sizeof h);
    for (k = 0; k < n && k < 8; ++k) {
        LAS12fm1 p;
        memset(&p, 0, sizeof p);
        p.X = xyz[k][0];
        p.Y = xyz[k][1];
        p.Z = xyz[k][2];
        p.bitfield = (int8_t)(k % 2 == 0 ? 1 : 2);
        memcpy(buf + 227 + k * reclen, &p, reclen);
    }
    return write_bytes(name, buf, 227 + (size_t)n * reclen);
}

static void validate_and_update(void) {
    static const int32_t pts[3][3] = {{10, -4, 7}, {-6, 8, -3}, {2, 0, 5}};
    const char* v12 = path("v12.las");
    const char* v10 = path("v10.las");
    const char* v11 = path("v11.las");
    LAS12Header h;
    FILE* fp;

    CHECK(write_las(v12, 2, 1, pts, 3) == 0);
    CHECK(write_las(v10, 0, 0, pts, 2) == 0);
    CHECK(write_las(v11, 1, 0, pts, 0) == 0);
    CHECK(check_las(v12) == 6);
    CHECK(check_las(v10) == 1);
    CHECK(check_las(v11) == 3);
    CHECK(check_las(path("absent.las")) == -1);

    update_header(v12);
    memset(&h, 0, sizeof h);
    fp = fopen(v12, "rb");
    CHECK(fp != NULL && fread(&h, sizeof h, 1, fp) == 1);
    if (fp != NULL) fclose(fp);
    CHECK(h.NumberOfPointReturns == 3);
    CHECK(h.NumberOfPointsByReturn[0] == 2 && h.NumberOfPointsByReturn[1] == 1);
    CHECK(h.NumberOfPointsByReturn[2] == 0);
    CHECK(h.MaxX == 5.0 && h.MinX == -3.0);
    CHECK(h.MaxY == 8.0 && h.MinY == -4.0);
    CHECK(h.MaxZ == 107.0 && h.MinZ == 97.0);
    CHECK(h.OffsetToData == 227 && h.PointDataRecordLength == 28);

    remove(v12);
    remove(v10);
    remove(v11);
}

/* Only accepted arguments: the rejecting paths end the process. */
static void argument_checks(void) {
    const char* flt = path("terrain.flt");
    const char* hdr = path("terrain.hdr");
    CHECK(check_YN("Y") == 0 && check_YN("n") == 0);
    CHECK(check_YN("yes") == -1 && check_YN("") == -1);
    check_numeric_argument("-12.5");
    check_numeric_argument(".5");
    check_DEM("terrain.asc");
    CHECK(write_bytes(hdr, "ncols 1\n", 8) == 0);
    check_DEM(flt);
    remove(hdr);
}

static int same_i32(const int32_t* a, const int32_t* b, int n) {
    return memcmp(a, b, (size_t)n * sizeof *a) == 0;
}

/* Each of the eight sorts once, on an input whose result is known. */
static void sorts(void) {
    static const int32_t w3[3] = {1, 2, 3}, wi3[3] = {1, 2, 0};
    static const int32_t w5[5] = {1, 1, 2, 2, 2}, wi5[5] = {3, 1, 4, 0, 2};
    int32_t p3[3] = {3, 1, 2}, i3[3] = {0, 1, 2};
    int32_t p5[5] = {2, 1, 2, 1, 2}, i5[5] = {0, 1, 2, 3, 4};
    l_quicksort(p3, 3, i3);
    CHECK(same_i32(p3, w3, 3) && same_i32(i3, wi3, 3));
    l_parallel_quicksort(p5, 5, i5);
    CHECK(same_i32(p5, w5, 5) && same_i32(i5, wi5, 5));
    {
        /* Only positions 1 to 3 are sorted; the extremes of int32_t too. */
        int32_t p[5] = {9, 3, INT32_MIN, INT32_MAX, -1}, ind[5] = {0, 1, 2, 3, 4};
        int32_t q[5] = {9, 3, INT32_MIN, INT32_MAX, -1}, jnd[5] = {0, 1, 2, 3, 4};
        static const int32_t wp[5] = {9, INT32_MIN, 3, INT32_MAX, -1}, wi[5] = {0, 2, 1, 3, 4};
        l_qs(p, 1, 3, ind);
        l_parallel_qs(q, 1, 3, jnd, 0);
        CHECK(same_i32(p, wp, 5) && same_i32(ind, wi, 5));
        CHECK(same_i32(q, wp, 5) && same_i32(jnd, wi, 5));
    }
    {
        double p[4] = {NAN, 2.0, 1.0, 0.0};
        int32_t ind[4] = {0, 1, 2, 3};
        static const int32_t wi[4] = {3, 2, 0, 1};
        d_quicksort(p, 4, ind);
        CHECK(p[0] == 0.0 && p[1] == 1.0 && isnan(p[2]) && p[3] == 2.0);
        CHECK(same_i32(ind, wi, 4));
    }
    {
        double p[2] = {0.0, -0.0}, q[4] = {7.0, 0.5, -0.25, 7.0};
        int32_t ind[2] = {0, 1}, jnd[4] = {0, 1, 2, 3}, knd[4] = {0, 1, 2, 3};
        double r[4] = {7.0, 0.5, -0.25, 7.0};
        d_parallel_quicksort(p, 2, ind);
        CHECK(signbit(p[0]) && !signbit(p[1]) && ind[0] == 1 && ind[1] == 0);
        d_qs(q, 0, 3, jnd);
        d_parallel_qs(r, 0, 3, knd, -1);
        CHECK(q[0] == -0.25 && q[1] == 0.5 && q[2] == 7.0 && q[3] == 7.0 && jnd[0] == 2);
        CHECK(memcmp(q, r, sizeof q) == 0 && same_i32(jnd, knd, 4));
    }
    {
        int32_t p[2] = {2, 1}, ind[2] = {0, 1};
        l_quicksort(p, 0, ind);
        l_parallel_quicksort(p, -1, ind);
        CHECK(p[0] == 2 && p[1] == 1 && ind[0] == 0 && ind[1] == 1);
    }
}

int main(int argc, char* argv[]) {
    if (argc != 2 || strlen(argv[1]) >= sizeof dir) {
        printf("usage: c_api SCRATCH_DIRECTORY\n");
        return 2;
    }
    strcpy(dir, argv[1]);
    blank_headers();
    file_checks();
    validate_and_update();
    argument_checks();
    sorts();
    printf("\nc_api: %d failed checks\n", failures);
    return failures == 0 ? 0 : 1;
}
