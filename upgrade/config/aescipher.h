#ifndef TVX_AESCIPHER_H
#define TVX_AESCIPHER_H

#include <QByteArray>
#include <QString>

// AES-256-CBC with the product's fixed key and IV. Appends to out.
// Returns 0 when done, 1 for an empty input, 2 for 1600 bytes or more,
// 3 when OpenSSL cannot run the cipher; out is untouched unless 0.
int AES_Encrypt(const QByteArray &in, QByteArray &out);
// Appends the plain bytes to out; never reads or writes past its working
// storage: a cipher text of more than 1600 bytes is refused (nothing appended).
// A padding tail that does not check out is no error: the bytes come back whole.
void AES_Decrypt(const QByteArray &in, QByteArray &out);

// Text form of an encrypted attribute value: lower-case hexadecimal.
// encryptToHexText returns the AES_Encrypt code; text is set only on 0.
int encryptToHexText(const QString &value, QString &text);
QString decryptFromHexText(const QString &text);

#endif // TVX_AESCIPHER_H
