/*
 * The plug-in's identity: every maker-specific constant lives here, shared by the
 * code and the version resource (this header is also read by the resource compiler,
 * so it holds preprocessor definitions only).
 */
#ifndef NPKELVRA_IDENTITY_H
#define NPKELVRA_IDENTITY_H

#define KELVRA_SITE_URL "https://www.kelvra.com/"
#define KELVRA_CONTACT_EMAIL "plugin-support@kelvra.com"
#define KELVRA_COMPANY_NAME "Kelvra"
#define KELVRA_LEGAL_COPYRIGHT "Copyright (C) Kelvra"
#define KELVRA_ALLOWED_DOMAIN "kelvra.com"

#define KELVRA_MIME_TYPE "application/x-vnd-kelvra-launcher"
#define KELVRA_FILE_EXTENSION "launcher"
#define KELVRA_PLUGIN_NAME "KelvraLauncherPlugin"
#define KELVRA_PRODUCT_TITLE "Kelvra Launcher Plugin"
#define KELVRA_MODULE_FILE_NAME "NPKelvraProxy.dll"

#define KELVRA_PLUGIN_DESCRIPTION \
  "<a href=\"" KELVRA_SITE_URL "\">" KELVRA_PLUGIN_NAME "</a> plugin."
#define KELVRA_MIME_DESCRIPTION \
  KELVRA_MIME_TYPE ":." KELVRA_FILE_EXTENSION ":" KELVRA_CONTACT_EMAIL

#define KELVRA_VERSION_BINARY 1, 2, 7, 22
#define KELVRA_VERSION_TEXT "1, 2, 7, 22"

#endif
