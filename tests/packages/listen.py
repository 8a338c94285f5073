#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
# A network printer's raw socket port on 127.0.0.1, for the package tests:
# listens on a port the system picks (written to PORTFILE once it listens)
# and stores what each connection sends in OUTDIR/job-N.prn (complete when
# the name appears: written as .part, renamed at the end of the connection).
#
#   listen.py OUTDIR PORTFILE
import os
import socket
import sys

outdir, portfile = sys.argv[1], sys.argv[2]
server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
server.bind(("127.0.0.1", 0))
server.listen(4)
with open(portfile + ".part", "w") as f:
    f.write("%d\n" % server.getsockname()[1])
os.rename(portfile + ".part", portfile)

jobs = 0
while True:
    conn, _ = server.accept()
    jobs += 1
    path = os.path.join(outdir, "job-%d.prn" % jobs)
    with open(path + ".part", "wb") as f:
        while True:
            data = conn.recv(1 << 16)
            if not data:
                break
            f.write(data)
    conn.close()
    os.rename(path + ".part", path)
