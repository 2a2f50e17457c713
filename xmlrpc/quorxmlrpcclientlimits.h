// SPDX-License-Identifier: MIT
#ifndef QUORXMLRPCCLIENTLIMITS_H
#define QUORXMLRPCCLIENTLIMITS_H

#include "tavrel_export.h"

#include <QtGlobal>

class QuorXmlRpcClient;

/*!
    Optional limits on the calls of a QuorXmlRpcClient: a time limit on each
    whole call and a size limit on each response. Both are off unless set, and
    then a client waits as long and reads as much as its server sends.

    A call that reaches a limit ends as fault -32300 at its fault slot, exactly
    once, with a message naming the limit ("timed out after 5000 ms", "response
    larger than 1048576 bytes"); its answer slot does not run, and its
    connection is dropped rather than kept for later calls.

    - The timeout counts from call() until the response is complete, however
      steadily the server keeps sending: a server that sends one byte now and
      then still runs out of time.
    - The size counts the response body as it arrives, after any content
      encoding has been undone. A Content-Length above the maximum ends the
      call as soon as the headers arrive.

    Limits are kept with the client, in its thread, and apply to the calls
    made after they are set; calls already pending keep the limits they
    started with. A null client is ignored. The class has no objects of its
    own.

    \code
    auto *client = new QuorXmlRpcClient(QUrl("http://localhost:8080/RPC2"), this);
    QuorXmlRpcClientLimits::setTimeout(client, 5000);
    QuorXmlRpcClientLimits::setMaximumResponseSize(client, 1024 * 1024);
    \endcode
*/
class TAVREL_EXPORT QuorXmlRpcClientLimits
{
public:
    QuorXmlRpcClientLimits() = delete;

    //! Limits each later call of \a client to \a milliseconds; 0 or less turns the limit off.
    static void setTimeout(QuorXmlRpcClient *client, int milliseconds);
    //! The time limit of \a client's calls in milliseconds; 0 when there is none.
    static int timeout(const QuorXmlRpcClient *client);
    //! Limits each later response of \a client to \a bytes; 0 or less turns the limit off.
    static void setMaximumResponseSize(QuorXmlRpcClient *client, qint64 bytes);
    //! The size limit of \a client's responses in bytes; 0 when there is none.
    static qint64 maximumResponseSize(const QuorXmlRpcClient *client);
};

#endif
