#include "download/session.h"

#include "download/proxy_setup.h"

DownloadSession openDownloadSession() {
  DownloadSession session;
  session.proxy = chooseRunProxy();
  return session;
}
