// SPDX-License-Identifier: MIT
#ifndef QUORXMLRPCCLIENTOPTIONS_H
#define QUORXMLRPCCLIENTOPTIONS_H

#include "tavrel_export.h"

#include <QByteArray>

class QuorXmlRpcClient;

/*!
    Options of one QuorXmlRpcClient beyond its own setters: request headers of
    its own, and values beyond XML-RPC's own types.

    Request headers: setRawHeader() sends a header with every later call, an
    API token say. The transport's own headers (Host, Content-Length,
    Transfer-Encoding, Connection) cannot be set, nor a name that is no HTTP
    token or a value holding a line break or a zero byte: such a call of
    setRawHeader() returns false and changes nothing. When a redirect that the
    client follows leads to another scheme, host or port, the call goes on
    without Authorization and Cookie headers.

    64-bit integers: XML-RPC's `<int>` holds 32 bits. Many peers (xmlrpc-c, Perl's
    RPC::XML, node's xmlrpc, rtorrent) send larger integers as `<i8>` or Apache's
    `<ex:i8>`. With the option on, the client reads both as `qlonglong`, and
    writes `qlonglong` and `qulonglong` arguments that fit in 64 signed bits as
    `<i8>`. With it off (the default) `<i8>` is an unknown type, as for any
    strict XML-RPC client, and such arguments cannot be written: the call ends
    with a fault and sends nothing.
    Either way an `<int>` or `<i4>` whose number needs 64 bits reads as `qlonglong`.

    nil: with the option on, an invalid QVariant argument (or a null pointer,
    `QVariant::fromValue(nullptr)`) is written as `<nil/>`, as Python's
    `allow_none`, Koji and the Apache extensions expect; off (the default) it
    cannot be written. `<nil/>` and `<ex:nil/>` read as an invalid QVariant either way.

    Options are kept with the client and apply to the calls made after they are
    set. A null client is ignored. The class has no objects of its own.

    \code
    QuorXmlRpcClientOptions::setRawHeader(client, "Authorization", "Bearer " + token);
    QuorXmlRpcClientOptions::setI8Enabled(client, true);
    QuorXmlRpcClientOptions::setNilEnabled(client, true);
    \endcode
*/
class TAVREL_EXPORT QuorXmlRpcClientOptions
{
public:
    QuorXmlRpcClientOptions() = delete;

    //! Reads and writes 64-bit integers as `<i8>` in later calls of \a client when \a enabled.
    static void setI8Enabled(QuorXmlRpcClient *client, bool enabled);
    //! Whether \a client reads and writes `<i8>`; false by default.
    static bool isI8Enabled(const QuorXmlRpcClient *client);
    //! Writes no value as `<nil/>` in later calls of \a client when \a enabled.
    static void setNilEnabled(QuorXmlRpcClient *client, bool enabled);
    //! Whether \a client writes `<nil/>`; false by default.
    static bool isNilEnabled(const QuorXmlRpcClient *client);

    /*! Sends the header \a name with \a value in later calls of \a client, in
        place of any it had; an empty value sends it no more. False, changing
        nothing, for a header that cannot be set. */
    static bool setRawHeader(
        QuorXmlRpcClient *client, const QByteArray &name, const QByteArray &value);
    //! The value of the header \a name that \a client sends; empty when none.
    static QByteArray rawHeader(const QuorXmlRpcClient *client, const QByteArray &name);
};

#endif
