// SPDX-License-Identifier: Apache-2.0
#include "tarnwel_rastertobmp.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

BITMAPFILEHEADER g_bmfh;
BITMAPINFOHEADER g_bmih;
FILE* grayfp = nullptr;
FILE* rgbfp = nullptr;
int adj_gray_width = 0;
int adj_rgb_width = 0;
BYTE* black_raster = nullptr;
BYTE* color_raster = nullptr;

namespace {

// The row buffers go when the process ends.
struct RowBufferRelease {
    ~RowBufferRelease() {
        free(black_raster);
        free(color_raster);
        black_raster = color_raster = nullptr;
    }
} releaseAtExit;

// BMP fields are little-endian whatever the host.
void put16(FILE* fp, int16_t v) {
    uint16_t u = static_cast<uint16_t>(v);
    BYTE b[2] = {static_cast<BYTE>(u), static_cast<BYTE>(u >> 8)};
    fwrite(b, 1, sizeof(b), fp);
}

void put32(FILE* fp, int32_t v) {
    uint32_t u = static_cast<uint32_t>(v);
    BYTE b[4] = {static_cast<BYTE>(u), static_cast<BYTE>(u >> 8), static_cast<BYTE>(u >> 16),
                 static_cast<BYTE>(u >> 24)};
    fwrite(b, 1, sizeof(b), fp);
}

void le16(BYTE* at, int16_t v) {
    uint16_t u = static_cast<uint16_t>(v);
    at[0] = static_cast<BYTE>(u);
    at[1] = static_cast<BYTE>(u >> 8);
}

void le32(BYTE* at, int32_t v) {
    uint32_t u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; i++)
        at[i] = static_cast<BYTE>(u >> (8 * i));
}

void write_file_header(FILE* fp) {
    put16(fp, g_bmfh.bfType);
    put32(fp, g_bmfh.bfSize);
    put16(fp, g_bmfh.bfReserved1);
    put16(fp, g_bmfh.bfReserved2);
    put32(fp, g_bmfh.bfOffBits);
}

// The 40-byte information header, as one block.
void write_info_header(FILE* fp) {
    BYTE b[40];
    le32(b + 0, g_bmih.biSize);
    le32(b + 4, g_bmih.biWidth);
    le32(b + 8, g_bmih.biHeight);
    le16(b + 12, g_bmih.biPlanes);
    le16(b + 14, g_bmih.biBitCount);
    le32(b + 16, g_bmih.biCompression);
    le32(b + 20, g_bmih.biSizeImage);
    le32(b + 24, g_bmih.biXPelsPerMeter);
    le32(b + 28, g_bmih.biYPelsPerMeter);
    le32(b + 32, g_bmih.biClrUsed);
    le32(b + 36, g_bmih.biClrImportant);
    fwrite(b, 1, sizeof(b), fp);
}

void release_black_row() {
    free(black_raster);
    black_raster = nullptr;
    adj_gray_width = 0;
}

void release_color_row() {
    free(color_raster);
    color_raster = nullptr;
    adj_rgb_width = 0;
}

}  // namespace

bool InitBMPHeader(int width, int height, int planes, int bpp) {
    int64_t offBits = planes == 3 ? 54 : 62;
    int64_t sizeImage = static_cast<int64_t>(width) * height * planes * bpp / 8;
    // The row buffer is sized by the header, whatever the height: a row the
    // size fields could not count even alone (a page of no lines but billions
    // of pixels wide) is a page too large, not gigabytes to allocate and fill.
    int64_t rowBytes = static_cast<int64_t>(width) * planes * bpp / 8;
    if (width < 0 || height < 0 || sizeImage + offBits > INT32_MAX ||
        rowBytes + offBits > INT32_MAX)
        return false;
    g_bmfh.bfType = 0x4D42;  // "BM"
    g_bmfh.bfOffBits = static_cast<int32_t>(offBits);
    g_bmfh.bfSize = static_cast<int32_t>(sizeImage + offBits);
    g_bmfh.bfReserved1 = 0;
    g_bmfh.bfReserved2 = 0;
    g_bmih.biSize = 40;
    g_bmih.biWidth = width;
    g_bmih.biHeight = -height;  // rows top-down
    g_bmih.biPlanes = 1;
    g_bmih.biBitCount = static_cast<int16_t>(planes * bpp);
    g_bmih.biCompression = 0;
    g_bmih.biSizeImage = static_cast<int32_t>(sizeImage);
    g_bmih.biXPelsPerMeter = 0;
    g_bmih.biYPelsPerMeter = 0;
    g_bmih.biClrUsed = planes == 3 ? 0 : 2;
    g_bmih.biClrImportant = 0;
    return true;
}

void openBmpFile(cups_page_header2_t& header, int pages) {
    (void)header;
    if (grayfp) {
        fclose(grayfp);
        grayfp = nullptr;
    }
    // A row belongs to the file whose header sized it: none is written into
    // the new file before its own header.
    release_black_row();
    char szFileName[128];
    memset(szFileName, 0, sizeof(szFileName));
    snprintf(szFileName, 127, "/tmp/qv_20230516_%d.bmp", pages);
    fprintf(stderr, "szFileName = %s \n", szFileName);
    // The name is predictable and /tmp is writable by all: never follow a
    // symbolic link planted under it.
    int fd = open(szFileName, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return;
    grayfp = fdopen(fd, "wb");
    if (!grayfp)
        close(fd);
}

void WriteGrayBMPHeader(FILE* fp, int width, int height) {
    if (!fp)
        return;
    if (width < 0 || width > INT32_MAX - 32) {
        release_black_row();
        return;
    }
    if (width % 32 != 0)
        width = (width / 32 + 1) * 32;
    release_black_row();
    if (!InitBMPHeader(width, height, 1, 1))
        return;
    black_raster = static_cast<BYTE*>(calloc(width ? width / 8 : 1, 1));
    // A row the process cannot hold is a page too large to dump.
    if (!black_raster)
        return;
    adj_gray_width = width / 8;
    write_file_header(fp);
    write_info_header(fp);
    // Entry 0 white (its reserved byte FF too), entry 1 black: a set bit is
    // black, as in CUPS 1-bit black raster.
    static const BYTE palette[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00};
    fwrite(palette, 1, sizeof(palette), fp);
}

void WriteRGBBMPHeader(FILE* fp, int width, int height) {
    if (!fp)
        return;
    if (width < 0 || width > INT32_MAX - 4) {
        release_color_row();
        return;
    }
    if (width % 4 != 0)
        width = (width / 4) * 4 + 4;
    release_color_row();
    if (!InitBMPHeader(width, height, 3, 8))
        return;
    size_t bytes = 3 * static_cast<size_t>(width);
    color_raster = static_cast<BYTE*>(malloc(bytes ? bytes : 1));
    // A row the process cannot hold is a page too large to dump.
    if (!color_raster)
        return;
    adj_rgb_width = width;
    memset(color_raster, 0xFF, bytes);
    write_file_header(fp);
    write_info_header(fp);
}

void WriteGrayBMPRaster(FILE* fp, BYTE* gray_raster, int width) {
    if (!fp || !black_raster)
        return;
    if (!gray_raster) {
        memset(black_raster, 0, static_cast<size_t>(adj_gray_width));
    } else if (width > 0) {
        size_t n = static_cast<size_t>(width < adj_gray_width ? width : adj_gray_width);
        memcpy(black_raster, gray_raster, n);
    }
    fwrite(black_raster, 1, static_cast<size_t>(adj_gray_width), fp);
}

void WriteRGBBMPRaster(FILE* fp, BYTE* rgb_raster, int width) {
    if (!fp || !color_raster)
        return;
    if (!rgb_raster) {
        memset(color_raster, 0xFF, 3 * static_cast<size_t>(adj_rgb_width));
    } else {
        int n = width < adj_rgb_width ? width : adj_rgb_width;
        for (int i = 0; i < n; i++) {
            color_raster[3 * i + 0] = rgb_raster[3 * i + 2];
            color_raster[3 * i + 1] = rgb_raster[3 * i + 1];
            color_raster[3 * i + 2] = rgb_raster[3 * i + 0];
        }
    }
    fwrite(color_raster, 1, 3 * static_cast<size_t>(adj_rgb_width), fp);
}

void WriteBMPHeader(int width, int height, eRasterType raster_type) {
    if (!grayfp && !rgbfp)
        return;
    if (raster_type != BLACK_RASTER)
        WriteRGBBMPHeader(rgbfp, width, height);
    else
        WriteGrayBMPHeader(grayfp, width, height);
}

void WriteBMPRaster(BYTE* raster, int width, eRasterType raster_type) {
    if (!grayfp && !rgbfp)
        return;
    if (raster_type != BLACK_RASTER)
        WriteRGBBMPRaster(rgbfp, raster, width);
    else
        WriteGrayBMPRaster(grayfp, raster, width);
}

void closeBmpFIle() {
    if (grayfp)
        fclose(grayfp);
    if (rgbfp && rgbfp != grayfp)
        fclose(rgbfp);
    grayfp = nullptr;
    rgbfp = nullptr;
    // Rows go with their files: a stream assigned later starts without one.
    release_black_row();
    release_color_row();
}

int createTempFile(char* szFileName, FILE** pFilePtr) {
    if (!szFileName || !*szFileName || !pFilePtr)
        return 0;
    if (!strstr(szFileName, "XXXXXX"))
        strcat(szFileName, "_XXXXXX");
    int fd = mkstemp(szFileName);
    if (fd < 0)
        return 0;
    *pFilePtr = fdopen(fd, "w+");
    return fd;
}
