// AES-128 against published known answers, and the package key against
// OpenSSL.
#include "aes128.h"
#include "package_block.h"
#include "package_fixture.h"

#include <QtTest>

#include <cstring>

class TstAes128 : public QObject
{
    Q_OBJECT

private slots:
    void known_answers_data();
    void known_answers();
    void last_round_key();
    void package_key_against_openssl();
};

void TstAes128::known_answers_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("plain");
    QTest::addColumn<QByteArray>("cipher");
    const QByteArray nist_key = "2b7e151628aed2a6abf7158809cf4f3c";
    QTest::newRow("FIPS-197 Appendix C.1")
        << QByteArray("000102030405060708090a0b0c0d0e0f") << QByteArray("00112233445566778899aabbccddeeff")
        << QByteArray("69c4e0d86a7b0430d8cdb78070b4c55a");
    QTest::newRow("FIPS-197 Appendix B") << nist_key << QByteArray("3243f6a8885a308d313198a2e0370734")
                                         << QByteArray("3925841d02dc09fbdc118597196a0b32");
    QTest::newRow("SP 800-38A F.1.1 block 1") << nist_key << QByteArray("6bc1bee22e409f96e93d7e117393172a")
                                              << QByteArray("3ad77bb40d7a3660a89ecaf32466ef97");
    QTest::newRow("SP 800-38A F.1.1 block 2") << nist_key << QByteArray("ae2d8a571e03ac9c9eb76fac45af8e51")
                                              << QByteArray("f5d3d58503b9699de785895a96fdbaaf");
    QTest::newRow("SP 800-38A F.1.1 block 3") << nist_key << QByteArray("30c81c46a35ce411e5fbc1191a0a52ef")
                                              << QByteArray("43b1cd7f598ece23881b00e3ed030688");
    QTest::newRow("SP 800-38A F.1.1 block 4") << nist_key << QByteArray("f69f2445df4f9b17ad2b417be66c3710")
                                              << QByteArray("7b0c785e27e8ad3f8223207104725dd4");
    QTest::newRow("AESAVS GFSbox 1") << QByteArray(32, '0') << QByteArray("f34481ec3cc627bacd5dc3fb08f273e6")
                                     << QByteArray("0336763e966d92595a567cc9ce537f5e");
    QTest::newRow("AESAVS VarKey 1") << QByteArray("80000000000000000000000000000000") << QByteArray(32, '0')
                                     << QByteArray("0edd33d3c621e546455bd8ba1418bec8");
    QTest::newRow("AESAVS KeySbox 1") << QByteArray("10a58869d74be5a374cf867cfb473859") << QByteArray(32, '0')
                                      << QByteArray("6d251e6944b051e04eaa6fb4dbf78465");
}

void TstAes128::known_answers()
{
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, plain);
    QFETCH(QByteArray, cipher);
    const QByteArray k = QByteArray::fromHex(key);
    QByteArray block = QByteArray::fromHex(plain);
    aes128_encrypt_block(reinterpret_cast<uint8_t *>(block.data()),
                         reinterpret_cast<const uint8_t *>(k.constData()));
    QCOMPARE(block.toHex(), cipher);
}

// The round keys are derived on the fly: after a block the state holds the
// tenth round key of the key expansion (FIPS-197 Appendix A.1, w[40..43]).
void TstAes128::last_round_key()
{
    const QByteArray key = QByteArray::fromHex("2b7e151628aed2a6abf7158809cf4f3c");
    Aes128State state;
    aes128_start(state, reinterpret_cast<const uint8_t *>(key.constData()));
    QCOMPARE(int(state.rcon), 1);
    uint8_t block[16] = {};
    aes128_encrypt(state, block);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(state.round_key), 16).toHex(),
             QByteArray("d014f9a8c9ee2589e13f0cc8b6630ca6"));
}

void TstAes128::package_key_against_openssl()
{
    QVERIFY2(fixture::have_tool("openssl"), "openssl is needed as the reference cipher");
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(package_key), 16).toHex(),
             QByteArray("5a1f0c93e27b48d6a03c9e715bd24f86"));
    QByteArray plain = fixture::random_bytes(16 * 64, 7);
    plain.replace(0, 16, QByteArray(16, '\0'));
    plain.replace(16, 16, QByteArray(16, char(0xFF)));
    const QByteArray want = fixture::openssl_ecb(plain, false);
    QCOMPARE(want.size(), plain.size());
    for (int i = 0; i < plain.size(); i += 16) {
        QByteArray block = plain.mid(i, 16);
        aes128_encrypt_block(reinterpret_cast<uint8_t *>(block.data()), package_key);
        QCOMPARE(block.toHex(), want.mid(i, 16).toHex());
    }
}

QTEST_GUILESS_MAIN(TstAes128)
#include "tst_aes128.moc"
