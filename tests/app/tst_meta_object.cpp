// The window's and the worker's signals and slots keep their places in the
// meta-object: callers that invoke them by index rely on the order.
#include <QMetaMethod>
#include <QTest>

#include "serial_port_handle.h"
#include "velmora.h"

class TstMetaObject : public QObject
{
    Q_OBJECT

    static void check_order(const QMetaObject &meta, const QStringList &expected)
    {
        QCOMPARE(meta.methodCount() - meta.methodOffset(), expected.size());
        for (int i = 0; i < expected.size(); ++i) {
            const QMetaMethod method = meta.method(meta.methodOffset() + i);
            QCOMPARE(QString::fromLatin1(method.methodSignature()), expected.at(i));
        }
    }

private slots:
    void window_signals_then_slots()
    {
        const QStringList expected{"en_rply_byte()",
                                   "dis_rply_byte()",
                                   "sat_list_read_start()",
                                   "sat_list_read_stop()",
                                   "list_set_sat_idx(uchar)",
                                   "select_s_path()",
                                   "select_bin_path()",
                                   "s2bin()",
                                   "binfile_in()",
                                   "update_start()",
                                   "update_pause()",
                                   "sat_read_device()",
                                   "sat_write_device()",
                                   "sat_read_file()",
                                   "sat_write_file()",
                                   "slt_sat_data_ready(uchar)",
                                   "sat_set_timout()",
                                   "sat_write_timeout()",
                                   "update_byte_rply(uchar)",
                                   "list_byte_rply(uchar)",
                                   "list_wt_byte_rply(uchar)",
                                   "select_comport(int)",
                                   "update_timeout()",
                                   "get_soft_limit()",
                                   "set_soft_limit()",
                                   "get_lmt_rply(uchar)",
                                   "set_lmt_rply(uchar)"};
        check_order(velmora::staticMetaObject, expected);
        const QMetaObject &meta = velmora::staticMetaObject;
        for (int i = 0; i < 5; ++i)
            QCOMPARE(meta.method(meta.methodOffset() + i).methodType(), QMetaMethod::Signal);
        for (int i = 5; i < expected.size(); ++i)
            QCOMPARE(meta.method(meta.methodOffset() + i).access(), QMetaMethod::Private);
    }

    void worker_signals_then_slots()
    {
        check_order(serial_port_handle::staticMetaObject,
                    {"sat_data_ready(uchar)", "sat_data_read_finish()", "update_sgl_rply(uchar)",
                     "update_write_complete()", "update_reply_connect()", "update_reply_disconnect()",
                     "set_sat_idx(uchar)"});
    }

    void class_names()
    {
        QCOMPARE(velmora::staticMetaObject.className(), "velmora");
        QCOMPARE(serial_port_handle::staticMetaObject.className(), "serial_port_handle");
    }
};

QTEST_GUILESS_MAIN(TstMetaObject)
#include "tst_meta_object.moc"
