// SPDX-License-Identifier: Apache-2.0
// The whole job path: raster bytes through libcups's own reader, the page
// loop and the job engine into memory; whatever comes out must be a valid
// printer stream (or nothing). The same bytes read from a descriptor through
// the filter's own reader, which reads an uncompressed raster straight into
// its read block, must give the same stream: nothing that a read left in the
// block (from an earlier page or an earlier job) may reach the printer.
//
// Input: byte 0 chooses the option string, byte 1 the PPD, the rest is the
// raster stream.
#include <cups/raster.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "rastertotarnwel.h"
#include "tarnwel_stream.h"

namespace {

struct Memory {
    const uint8_t* data;
    size_t size;
    size_t pos;
};

ssize_t read_memory(void* ctx, unsigned char* buffer, size_t length) {
    Memory* m = static_cast<Memory*>(ctx);
    size_t n = std::min(length, m->size - m->pos);
    memcpy(buffer, m->data + m->pos, n);
    m->pos += n;
    return static_cast<ssize_t>(n);
}

const char* const kDensity[] = {"",
                                "PrintDensity=Dark",
                                "PrintDensity=MediumDark",
                                "PrintDensity=Medium",
                                "PrintDensity=MediumLight",
                                "PrintDensity=Light",
                                "PrintDensity=",
                                "PrintDensity=Darkest"};
const char* const kWeight[] = {"", "PaperWeight=VeryHeavy", "PaperWeight=MediumHeavy",
                               "PaperWeight=Medium"};
const char* const kDuplex[] = {"", "Duplex=DuplexNoTumble", "Duplex=DuplexTumble", "Duplex=None"};

// Open for the whole run, as in the filter; never destroyed, so still reachable at exit.
std::vector<ppd_file_t*>& ppds = *new std::vector<ppd_file_t*>;

std::string ppd_text(const char* density, const char* weight, const char* duplex) {
    std::string s =
        "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n"
        "*LanguageVersion: English\n*LanguageEncoding: ISOLatin1\n*PCFileName: \"F.PPD\"\n"
        "*Manufacturer: \"Tarnwel\"\n*Product: \"(F)\"\n*ModelName: \"F\"\n*NickName: \"F\"\n";
    auto option = [&](const char* key, const char* def) {
        if (!def)
            return;
        s += std::string("*OpenUI *") + key + ": PickOne\n*Default" + key + ": " + def + "\n*" +
             key + " " + def + ": \"\"\n*CloseUI: *" + key + "\n";
    };
    option("PrintDensity", density);
    option("PaperWeight", weight);
    option("Duplex", duplex);
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* variants[][3] = {
        {"Medium", "Medium", "None"},
        {"Dark", "VeryHeavy", "DuplexNoTumble"},
        {"Light", "MediumHeavy", "DuplexTumble"},
        {nullptr, nullptr, nullptr},
        {"Odd-Choice", "MediumHeavy34567890123456789012345678901", "DuplexTumbleNoTumble"},
    };
    char dir[] = "/tmp/tarnwel-fuzz-XXXXXX";
    if (!mkdtemp(dir))
        abort();
    int i = 0;
    for (auto& v : variants) {
        std::string path = std::string(dir) + "/" + std::to_string(i++) + ".ppd";
        FILE* f = fopen(path.c_str(), "w");
        std::string t = ppd_text(v[0], v[1], v[2]);
        fwrite(t.data(), 1, t.size(), f);
        fclose(f);
        ppd_file_t* p = ppdOpenFile(path.c_str());
        if (!p)
            abort();
        ppds.push_back(p);
        unlink(path.c_str());
    }
    rmdir(dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    uint8_t choose = data[0];
    ppd_file_t* ppd = ppds[data[1] % ppds.size()];
    std::string options = std::string(kDensity[choose & 7]) + " " + kWeight[(choose >> 3) & 3] +
                          " " + kDuplex[(choose >> 5) & 3];
    if (choose & 0x80)
        options += " Duplex=DuplexTumble PrintDensity=Light";  // repeated and conflicting

    Memory m{data + 2, size - 2, 0};
    cups_raster_t* ras = cupsRasterOpenIO(read_memory, &m, CUPS_RASTER_READ);
    if (!ras)
        return 0;
    char* out = nullptr;
    size_t outSize = 0;
    FILE* f = open_memstream(&out, &outSize);
    std::string a0 = "rastertotarnwel", a1 = "1", a2 = "fuzz", a3 = "job", a4 = "1";
    char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), a4.data(), options.data(), nullptr};
    print_raster_job(ras, ppd, 6, argv, f);
    fclose(f);
    cupsRasterClose(ras);

    int fd = memfd_create("raster", 0);
    if (fd < 0 || write(fd, data + 2, size - 2) != static_cast<ssize_t>(size - 2) ||
        lseek(fd, 0, SEEK_SET) != 0)
        abort();
    char* fromFd = nullptr;
    size_t fromFdSize = 0;
    if (cups_raster_t* r = open_raster_input(fd)) {
        FILE* g = open_memstream(&fromFd, &fromFdSize);
        print_raster_job(r, ppd, 6, argv, g);
        fclose(g);
        close_raster_input(r);
    }
    close(fd);
    if (fromFdSize != outSize || (outSize > 0 && memcmp(fromFd, out, outSize) != 0)) {
        fprintf(stderr, "the raster read from a descriptor gives another stream (%zu, %zu bytes)\n",
                fromFdSize, outSize);
        abort();
    }
    free(fromFd);

    if (outSize > 0) {
        tarnwel::StreamJob job;
        tarnwel::StreamError err;
        if (!tarnwel::decode_stream(reinterpret_cast<const uint8_t*>(out), outSize, job, err,
                                    false)) {
            fprintf(stderr, "invalid stream at %zu: %s\n", err.offset, err.message.c_str());
            abort();
        }
    }
    free(out);
    return 0;
}
