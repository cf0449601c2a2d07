#include "signintesting.h"

#include "probes.h"

#include <QtTest>

bool registerUntilCodeRow(const LoginWindowProbe& probe, const QString& email)
{
    if (!probe.registerMode())
        probe.textButton()->click();
    probe.usernameEdit()->setText(QStringLiteral("lin_wei"));
    probe.emailEdit()->setText(email);
    probe.passwordEdit()->setText(QStringLiteral("twelve chars!"));
    probe.primaryButton()->click();
    return QTest::qWaitFor([&] { return probe.verifyGroup()->isVisible(); });
}
