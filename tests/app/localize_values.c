// SPDX-License-Identifier: Apache-2.0
/* A client that shows a printer's options and values in the user's language
 * (LANG), as CUPS's client library does for print dialogs: from the
 * printer's printer-strings-uri. Prints "name = words" or "name.value =
 * words" for each NAME VALUE pair of its arguments (an empty VALUE names the
 * option itself). */
#include <cups/cups.h>
#include <stdio.h>

int main(int argc, char** argv) {
    if (argc < 2) {
        fputs("usage: localize_values PRINTER-URI [NAME VALUE]...\n", stderr);
        return 2;
    }
    char scheme[32], user[256], host[256], resource[1024];
    int port = 0;
    if (httpSeparateURI(HTTP_URI_CODING_ALL, argv[1], scheme, sizeof(scheme), user, sizeof(user),
                        host, sizeof(host), &port, resource,
                        sizeof(resource)) < HTTP_URI_STATUS_OK) {
        fprintf(stderr, "localize_values: bad URI %s\n", argv[1]);
        return 2;
    }
    cups_dest_t* dest = cupsGetDestWithURI("printer", argv[1]);
    http_t* http = dest ? httpConnect2(host, port, NULL, AF_UNSPEC, HTTP_ENCRYPTION_IF_REQUESTED, 1,
                                       10000, NULL)
                        : NULL;
    cups_dinfo_t* info = http ? cupsCopyDestInfo(http, dest) : NULL;
    if (!info) {
        fprintf(stderr, "localize_values: %s\n", cupsLastErrorString());
        return 1;
    }
    for (int i = 2; i + 1 < argc; i += 2) {
        if (argv[i + 1][0])
            printf("%s.%s = %s\n", argv[i], argv[i + 1],
                   cupsLocalizeDestValue(http, dest, info, argv[i], argv[i + 1]));
        else
            printf("%s = %s\n", argv[i], cupsLocalizeDestOption(http, dest, info, argv[i]));
    }
    cupsFreeDestInfo(info);
    httpClose(http);
    cupsFreeDests(1, dest);
    return 0;
}
