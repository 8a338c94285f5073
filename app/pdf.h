// SPDX-License-Identifier: Apache-2.0
// The PDF path: Ghostscript renders a PDF document into 1-bit black pages at
// the printer's resolution and paper size, which go through the job bridge
// like any other job's pages.
#ifndef TARNWEL_APP_PDF_H
#define TARNWEL_APP_PDF_H

#include <pappl/pappl.h>

namespace tarnwel {

// PAPPL's MIME filter callback for application/pdf.
bool print_pdf(pappl_job_t* job, pappl_device_t* device, void* data);

}  // namespace tarnwel

#endif
