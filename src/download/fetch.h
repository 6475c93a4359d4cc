#pragma once

// The one way the update run downloads: a request (fetch.h's FetchRequest,
// download/request.h) in, a result out. Underneath, one transfer at a time
// is handed to a download worker through gCurrentFile, gDownloadUrl and
// gDownloadDone.

#include "download/request.h"
#include "download/session.h"

// Fetches kUpdateBaseUrl + `request.urlPath` as the request says, within
// `session`, on a
// download worker started for it, and waits for it. A part transfer that is
// cut after bringing a fair amount is tried again at once when the request
// asks for it (resume.h). Never waits for a worker that could not be started:
// that gives notWritten, with the fault for the caller to log.
FetchResult fetch(const DownloadSession& session, const FetchRequest& request);
