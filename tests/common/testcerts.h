#ifndef TVX_TEST_TESTCERTS_H
#define TVX_TEST_TESTCERTS_H

#include "processend.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include "nativeprocess.h"

// Makes, with the openssl command-line tool, a test CA and three server
// certificates: one for 127.0.0.1 and localhost signed by that CA, one for
// the same names from another CA, and one for a host name that is not ours.
class TestCerts
{
public:
    QString caFile;          // the CA to trust (CURL_CA_BUNDLE)
    QString serverCert;      // 127.0.0.1 / localhost, signed by caFile
    QString serverKey;
    QString otherCaFile;     // a CA nobody trusts
    QString otherCert;       // 127.0.0.1 / localhost, signed by otherCaFile
    QString otherKey;
    QString wrongHostCert;   // wrong.host.invalid, signed by caFile
    QString wrongHostKey;

#ifdef Q_OS_WIN
    // Wine has no openssl tool: the native one makes the files.
    static bool haveOpenSsl() { return NativeProcess::isAvailable(); }
#else
    static bool haveOpenSsl() { return !QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty(); }
#endif

    bool create(const QString &dirPath)
    {
        m_dir = QDir(dirPath);
        m_error.clear();
        if (!writeFile(QStringLiteral("ca.cnf"),
                       "[req]\n"
                       "distinguished_name = dn\n"
                       "prompt = no\n"
                       "[dn]\n"
                       "CN = Tarvex Test CA\n"
                       "[v3_ca]\n"
                       "basicConstraints = critical, CA:TRUE\n"
                       "keyUsage = critical, keyCertSign, cRLSign\n"
                       "subjectKeyIdentifier = hash\n"
                       "[ours]\n"
                       "basicConstraints = CA:FALSE\n"
                       "keyUsage = critical, digitalSignature\n"
                       "extendedKeyUsage = serverAuth\n"
                       "subjectAltName = IP:127.0.0.1, DNS:localhost\n"
                       "[wrong]\n"
                       "basicConstraints = CA:FALSE\n"
                       "keyUsage = critical, digitalSignature\n"
                       "extendedKeyUsage = serverAuth\n"
                       "subjectAltName = DNS:wrong.host.invalid\n"))
            return false;
        caFile = path("ca.pem");
        otherCaFile = path("other-ca.pem");
        if (!makeCa(QStringLiteral("ca")) || !makeCa(QStringLiteral("other-ca")))
            return false;
        serverCert = path("server.pem");
        serverKey = path("server.key");
        otherCert = path("other.pem");
        otherKey = path("other.key");
        wrongHostCert = path("wrong.pem");
        wrongHostKey = path("wrong.key");
        return makeLeaf(QStringLiteral("server"), QStringLiteral("ca"), QStringLiteral("ours"), 2)
            && makeLeaf(QStringLiteral("other"), QStringLiteral("other-ca"), QStringLiteral("ours"), 3)
            && makeLeaf(QStringLiteral("wrong"), QStringLiteral("ca"), QStringLiteral("wrong"), 4);
    }

    QString errorText() const { return m_error; }

private:
    QString path(const char *name) const { return m_dir.filePath(QString::fromLatin1(name)); }

    bool writeFile(const QString &name, const QByteArray &content)
    {
        QFile file(m_dir.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()) {
            m_error = QStringLiteral("cannot write ") + file.fileName();
            return false;
        }
        return true;
    }

    bool openssl(const QStringList &arguments)
    {
#ifdef Q_OS_WIN
        NativeProcess process;
        QByteArray output;
        if (process.run(QStringLiteral("openssl"), arguments, m_dir.path(), &output) != 0) {
            m_error = QStringLiteral("openssl %1 failed: %2 %3")
                          .arg(arguments.join(QLatin1Char(' ')), process.errorString(), QString::fromLocal8Bit(output));
            return false;
        }
        return true;
#else
        QProcess process;
        process.setWorkingDirectory(m_dir.path());
        process.setProcessChannelMode(QProcess::MergedChannels);
        startProcess(process, QStringLiteral("openssl"), arguments);
        if (!waitForProcessEnd(process, 60000) || process.exitStatus() != QProcess::NormalExit
            || process.exitCode() != 0) {
            m_error = QStringLiteral("openssl %1 failed: %2")
                          .arg(arguments.join(QLatin1Char(' ')), QString::fromLocal8Bit(process.readAll()));
            return false;
        }
        return true;
#endif
    }

    static QStringList newKey()
    {
        return {QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    }

    bool makeCa(const QString &name)
    {
        return openssl(QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + newKey()
                       + QStringList{QStringLiteral("-config"), QStringLiteral("ca.cnf"),
                                     QStringLiteral("-extensions"), QStringLiteral("v3_ca"),
                                     QStringLiteral("-subj"), QStringLiteral("/CN=Tarvex Test ") + name,
                                     QStringLiteral("-days"), QStringLiteral("2"),
                                     QStringLiteral("-keyout"), name + QStringLiteral(".key"),
                                     QStringLiteral("-out"), name + QStringLiteral(".pem")});
    }

    bool makeLeaf(const QString &name, const QString &ca, const QString &section, int serial)
    {
        return openssl(QStringList{QStringLiteral("req"), QStringLiteral("-new")} + newKey()
                       + QStringList{QStringLiteral("-config"), QStringLiteral("ca.cnf"),
                                     QStringLiteral("-subj"), QStringLiteral("/CN=") + name,
                                     QStringLiteral("-keyout"), name + QStringLiteral(".key"),
                                     QStringLiteral("-out"), name + QStringLiteral(".csr")})
            && openssl(QStringList{QStringLiteral("x509"), QStringLiteral("-req"),
                                   QStringLiteral("-in"), name + QStringLiteral(".csr"),
                                   QStringLiteral("-CA"), ca + QStringLiteral(".pem"),
                                   QStringLiteral("-CAkey"), ca + QStringLiteral(".key"),
                                   QStringLiteral("-set_serial"), QString::number(serial),
                                   QStringLiteral("-days"), QStringLiteral("2"),
                                   QStringLiteral("-extfile"), QStringLiteral("ca.cnf"),
                                   QStringLiteral("-extensions"), section,
                                   QStringLiteral("-out"), name + QStringLiteral(".pem")});
    }

    QDir m_dir;
    QString m_error;
};

#endif // TVX_TEST_TESTCERTS_H
