// Mail relays: the smart host or relay host of the running mail transfer
// agent.
#include <cstdio>

#include "depend_parse.h"
#include "depend_services.h"
#include "discovery.h"

using namespace kestrova::services;

extern "C" int dependency_discover_sendmail(void) {
    if (!isProcessRunning("sendmail"))
        return 0;
    std::string text;
    if (!readConfig("/etc/sendmail.cf", text) && !readConfig("/etc/mail/sendmail.cf", text)) {
        fputs("Couldnt open/find sendmail.cf\n", stderr);
        return -1;
    }
    for (const std::string &host : parseSendmailSmartHosts(text))
        addFound(dependEmail, dependSrcConfig, host, "mailer='sendmail' type='smarthost'");
    return 1;
}

extern "C" int dependency_discover_postfix(void) {
    if (!isProcessRunning("postfix/master") && !isProcessRunning("master") && !isProcessRunning("smtpd"))
        return 0;
    std::string text;
    if (!readConfig("/etc/postfix/main.cf", text))
        return 0;
    for (const std::string &host : parsePostfixRelayHosts(text))
        addFound(dependEmail, dependSrcConfig, host, "mailer='postfix' type='relayhost'");
    return 1;
}

extern "C" int dependency_discover_exim(void) {
    if (!isProcessRunning("exim"))
        return 0;
    std::string text;
    if (!readConfig("/etc/exim4/update-exim4.conf.conf", text))
        return 0;
    for (const std::string &host : parseEximSmartHosts(text))
        addFound(dependEmail, dependSrcConfig, host, "mailer='exim' type='smarthost'");
    return 1;
}

extern "C" int dependency_discover_zimbra(void) { return 0; }

extern "C" int dependency_discover_email(void) {
    dependency_discover_sendmail();
    dependency_discover_postfix();
    dependency_discover_exim();
    return 1;
}
