// SPDX-License-Identifier: Apache-2.0
// Lists a CUPS queue's options the way a print dialog shows them: the queue's
// PPD fetched from the scheduler, its strings in the language the
// environment asks for (LANG), through libcups's ppdLocalize.
//
//   ppd-options QUEUE      prints "Keyword/Text: Choice/Text *Default/Text ..."
#include <cups/cups.h>
#include <cups/ppd.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char* argv[]) {
    if (argc != 2) {
        fputs("Usage: ppd-options queue\n", stderr);
        return 2;
    }
    const char* file = cupsGetPPD(argv[1]);
    if (!file) {
        fprintf(stderr, "ppd-options: no PPD for %s: %s\n", argv[1], cupsLastErrorString());
        return 1;
    }
    ppd_file_t* ppd = ppdOpenFile(file);
    unlink(file);
    if (!ppd) {
        fprintf(stderr, "ppd-options: the PPD of %s does not open\n", argv[1]);
        return 1;
    }
    if (ppdLocalize(ppd) != 0) {
        fprintf(stderr, "ppd-options: the PPD of %s has no strings for this language\n", argv[1]);
        return 1;
    }
    ppdMarkDefaults(ppd);
    for (ppd_option_t* o = ppdFirstOption(ppd); o; o = ppdNextOption(ppd)) {
        printf("%s/%s:", o->keyword, o->text);
        for (int i = 0; i < o->num_choices; i++)
            printf(" %s%s/%s", o->choices[i].marked ? "*" : "", o->choices[i].choice,
                   o->choices[i].text);
        putchar('\n');
    }
    ppdClose(ppd);
    return 0;
}
