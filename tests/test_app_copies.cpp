// SPDX-License-Identifier: Apache-2.0
// The answers the printer application gives from a printer's attributes:
// PAPPL's choice of attributes, in collections of the answer's own, so that
// clients answered at once cannot free the printer's.
#include <cups/cups.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern "C" void _papplCopyAttributes(ipp_t* to, ipp_t* from, cups_array_t* ra, ipp_tag_t group,
                                     int quickcopy);

namespace {

using CopyFn = void (*)(ipp_t*, ipp_t*, cups_array_t*, ipp_tag_t, int);

// The application's copy, and libpappl's own (which shares collections).
const CopyFn kOurs = _papplCopyAttributes;
CopyFn papplsOwn() {
    return reinterpret_cast<CopyFn>(dlsym(RTLD_NEXT, "_papplCopyAttributes"));
}

ipp_t* media_size(int x, int y) {
    ipp_t* size = ippNew();
    ippAddInteger(size, IPP_TAG_ZERO, IPP_TAG_INTEGER, "x-dimension", x);
    ippAddInteger(size, IPP_TAG_ZERO, IPP_TAG_INTEGER, "y-dimension", y);
    return size;
}

// Attributes as a printer holds them: lists of collections with collections
// inside, constant and counted strings, and attributes of other groups.
ipp_t* printer_attributes() {
    ipp_t* printer = ippNew();
    std::vector<ipp_t*> database;
    for (int i = 0; i < 24; i++) {
        ipp_t* col = ippNew();
        ipp_t* size = media_size(21000 + 100 * i, 29700 - 50 * i);
        ippAddCollection(col, IPP_TAG_ZERO, "media-size", size);
        ippDelete(size);
        ippAddString(col, IPP_TAG_ZERO, IPP_TAG_KEYWORD, "media-type", nullptr,
                     i % 2 ? "cardstock" : "stationery");
        ippAddString(col, IPP_TAG_ZERO, IPP_CONST_TAG(IPP_TAG_KEYWORD), "media-source", nullptr,
                     "main");
        // Names and texts with a language, as a client sends them.
        ippAddString(col, IPP_TAG_ZERO, IPP_TAG_TEXTLANG, "media-info", "de",
                     i % 2 ? "Karton" : "Papier");
        ippAddString(col, IPP_TAG_ZERO, IPP_TAG_NAMELANG, "media-size-name", "en",
                     "iso_a4_210x297mm");
        // (A member of a group of its own.)
        ippAddInteger(col, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "media-order-count", i);
        database.push_back(col);
    }
    ippAddCollections(printer, IPP_TAG_PRINTER, "media-col-database",
                      static_cast<int>(database.size()),
                      const_cast<const ipp_t**>(database.data()));
    ippAddCollections(printer, IPP_TAG_PRINTER, "media-col-ready", 2,
                      const_cast<const ipp_t**>(database.data()));
    for (ipp_t* col : database)
        ippDelete(col);
    ipp_t* sizes[] = {media_size(21590, 27940), media_size(21590, 35560), media_size(21000, 29700)};
    ippAddCollections(printer, IPP_TAG_PRINTER, "media-size-supported", 3,
                      const_cast<const ipp_t**>(sizes));
    for (ipp_t* size : sizes)
        ippDelete(size);
    ippAddString(printer, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "media-default", nullptr,
                 "na_letter_8.5x11in");
    ippAddString(printer, IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-info", nullptr, "Room 12");
    ippAddInteger(printer, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "copies-default", 1);
    ippAddString(printer, IPP_TAG_JOB, IPP_TAG_NAME, "job-name", nullptr, "report");
    // (Of no group: copied whichever group is asked for.)
    ippAddInteger(printer, IPP_TAG_ZERO, IPP_TAG_INTEGER, "printer-id", 3);
    // (No name: never copied.)
    ippAddSeparator(printer);
    ippAddString(printer, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "sides-default", nullptr,
                 "one-sided");
    return printer;
}

// Every attribute as text: group, name, value tag, and each value with its
// language; collections member by member.
std::string text_of(ipp_t* ipp, const std::string& indent = "") {
    std::string text;
    char value[16384];
    for (ipp_attribute_t* a = ippFirstAttribute(ipp); a; a = ippNextAttribute(ipp)) {
        const ipp_tag_t tag = ippGetValueTag(a);
        text += indent + std::to_string(ippGetGroupTag(a)) + " " +
                (ippGetName(a) ? ippGetName(a) : "(separator)") + " " + ippTagString(tag) + ":";
        for (int i = 0; i < ippGetCount(a); i++) {
            if (tag == IPP_TAG_BEGIN_COLLECTION) {
                text += "\n" + text_of(ippGetCollection(a, i), indent + "  ") + indent + "  --";
            } else if (tag == IPP_TAG_TEXTLANG || tag == IPP_TAG_NAMELANG) {
                const char* language = nullptr;
                const char* string = ippGetString(a, i, &language);
                text += std::string(" [") + (string ? string : "(null)") + "|" +
                        (language ? language : "(null)") + "]";
            } else {
                ippAttributeString(a, value, sizeof(value));
                text += std::string(" ") + value;
                break;
            }
        }
        text += "\n";
    }
    return text;
}

// The collections of `ipp`, at every depth.
void collect(ipp_t* ipp, std::vector<ipp_t*>& found) {
    for (ipp_attribute_t* a = ippFirstAttribute(ipp); a; a = ippNextAttribute(ipp))
        if (ippGetValueTag(a) == IPP_TAG_BEGIN_COLLECTION)
            for (int i = 0; i < ippGetCount(a); i++) {
                found.push_back(ippGetCollection(a, i));
                collect(found.back(), found);
            }
}

int compare_names(void* a, void* b, void*) {
    return strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
}

cups_array_t* requested(const std::vector<const char*>& names) {
    if (names.empty())
        return nullptr;
    cups_array_t* ra = cupsArrayNew(compare_names, nullptr);
    for (const char* name : names)
        cupsArrayAdd(ra, const_cast<char*>(name));
    return ra;
}

struct CopyCase {
    const char* name;
    std::vector<const char*> requested;  // none: everything
    ipp_tag_t group;
};

}  // namespace

// The answer holds what PAPPL's own copy puts there, value for value, and
// none of the printer's collections.
TEST(AppAttributeCopies, SameAttributesAsPapplsCopyInCollectionsOfTheAnswersOwn) {
    const CopyFn pappls = papplsOwn();
    ASSERT_NE(pappls, nullptr);
    ASSERT_NE(pappls, kOurs);
    const CopyCase cases[] = {
        {"everything (media-col-database only on request)", {}, IPP_TAG_ZERO},
        {"the printer group", {}, IPP_TAG_PRINTER},
        {"the job group", {}, IPP_TAG_JOB},
        {"named", {"media-col-database", "media-default", "job-name", "no-such"}, IPP_TAG_ZERO},
        {"named, printer group", {"media-size-supported", "job-name"}, IPP_TAG_PRINTER},
        {"named, none there", {"no-such"}, IPP_TAG_ZERO},
    };
    ipp_t* printer = printer_attributes();
    std::vector<ipp_t*> printers;
    collect(printer, printers);
    for (const CopyCase& c : cases) {
        SCOPED_TRACE(c.name);
        for (int quickcopy : {0, static_cast<int>(IPP_TAG_CUPS_CONST)}) {
            cups_array_t* ra = requested(c.requested);
            ipp_t* expected = ippNew();
            pappls(expected, printer, ra, c.group, quickcopy);
            ipp_t* answer = ippNew();
            kOurs(answer, printer, ra, c.group, quickcopy);
            EXPECT_EQ(text_of(answer), text_of(expected));
            std::vector<ipp_t*> answers;
            collect(answer, answers);
            for (ipp_t* col : answers)
                EXPECT_EQ(std::find(printers.begin(), printers.end(), col), printers.end())
                    << "the answer shares a collection with the printer";
            ippDelete(expected);
            ippDelete(answer);
            cupsArrayDelete(ra);
        }
    }
    ippDelete(printer);
}

// A job's attributes are copied from the client's request: its names and
// texts with a language come through whole, inside collections too (libcups's
// own copy empties them, and PAPPL then crashes on the empty media-size-name
// when the job prints).
TEST(AppAttributeCopies, NamesAndTextsWithALanguageComeThroughWhole) {
    ipp_t* request = ippNew();
    ippAddString(request, IPP_TAG_JOB, IPP_TAG_NAMELANG, "job-name", "de", "Bericht");
    const char* notes[] = {"erste", "zweite"};
    ippAddStrings(request, IPP_TAG_JOB, IPP_TAG_TEXTLANG, "job-message-from-operator", 2, "de",
                  notes);
    ipp_t* media = ippNew();
    ippAddString(media, IPP_TAG_ZERO, IPP_TAG_NAMELANG, "media-size-name", "en",
                 "na_letter_8.5x11in");
    ippAddString(media, IPP_TAG_ZERO, IPP_TAG_TEXTLANG, "media-info", "fr-ca", "carton");
    ippAddCollection(request, IPP_TAG_JOB, "media-col", media);
    ippDelete(media);
    for (int quickcopy : {0, static_cast<int>(IPP_TAG_CUPS_CONST)}) {
        SCOPED_TRACE(quickcopy);
        ipp_t* job = ippNew();
        kOurs(job, request, nullptr, IPP_TAG_JOB, quickcopy);
        EXPECT_EQ(text_of(job), text_of(request));
        ippDelete(job);
    }
    ippDelete(request);
}

// Three threads answer from the same printer attributes at once, as two
// clients' threads do, and delete their answers: the printer's attributes
// stay whole (a lost count frees them under the printer, or keeps them for
// ever: a double free, or a leak at exit).
TEST(AppAttributeCopies, ThreadsAnsweringAtOnceLeaveThePrintersAttributesWhole) {
    ipp_t* printer = printer_attributes();
    const std::string before = text_of(printer);
    std::atomic<bool> go{false};
    auto answer = [&] {
        while (!go) {
        }
        for (int i = 0; i < 30000; i++) {
            ipp_t* response = ippNew();
            kOurs(response, printer, nullptr, IPP_TAG_ZERO, IPP_TAG_CUPS_CONST);
            ippDelete(response);
        }
    };
    std::thread one(answer), two(answer), three(answer);
    go = true;
    one.join();
    two.join();
    three.join();
    EXPECT_EQ(text_of(printer), before);
    ippDelete(printer);
}
