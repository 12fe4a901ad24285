// A listening TCP endpoint. Every accepted socket is handed to cAceita.
// Listeners are linked in one process-wide list; the accept step walks it
// with a being-served mark and a next cursor that destructors repair.
#pragma once

#include <cstdint>

// Peer of an accepted connection, both fields in network byte order.
struct PeerAddress {
    uint32_t ip;
    uint16_t port;
};

// Socket buffers of every accepted connection. Large enough that a burst
// of commands, a long line or a long listing moves at the loop's pace and
// not at that of TCP's window; small enough that a peer that floods and
// never reads holds a bounded amount of kernel memory: the receive buffer
// (booked twice by the kernel) and the unsent replies.
constexpr int kBufferRecepcao = 32 * 1024;
constexpr int kBufferEnvio = 16 * 1024;  // unsent bytes at most, beyond one send
constexpr int kBufferRecepcaoTls = 16 * 1024;  // the TLS port's, whose sessions read ahead

// Seconds an accepted connection has for what comes before it is served:
// a proxy's header, a TLS handshake, a metrics request's head.
constexpr int32_t kPrazoDeEntrada = 10;

// Descriptors that connections never take: the registry file, reopened on
// demand, and whatever else the process opens while it serves must find
// one free however many clients hold the rest. A connection accepted into
// the reserve is closed at once.
constexpr int kReservaDescritores = 16;

class TEscuta {
public:
    TEscuta();
    // Closes the socket and leaves the list; safe inside its own cAceita.
    virtual ~TEscuta();
    TEscuta(const TEscuta&) = delete;
    TEscuta& operator=(const TEscuta&) = delete;

    // Listens on ender (dotted address or host name; null or empty means
    // every local address) and porta. nullptr on success; otherwise
    // "label: reason" (label "socket()", "bind()" or "listen()"), valid
    // until the next failing cAbre.
    const char* cAbre(const char* ender, uint16_t porta);
    // Called once per accepted connection with a non-blocking socket that
    // now belongs to the callee, unless it falls into the descriptor
    // reserve: then it is closed unseen. The base closes it.
    virtual void cAceita(int socket, const PeerAddress& peer);

    int socket() const { return sock; }
    // Connections accepted since the start, those closed at once for want
    // of descriptors included; and those.
    uint64_t aceitas() const { return totalAceitas; }
    uint64_t recusadasSemDescritor() const { return totalSemDescritor; }

private:
    friend struct EngineCore;
    uint8_t legivel = 0;  // the last wait found a connection waiting
    uint8_t vigiada = 0;  // registered with the wait set
    int sock = -1;
    TEscuta* anterior = nullptr;
    TEscuta* proximo = nullptr;
    int64_t pausadoAte = 0;  // seconds: accepting resumes then after running out of descriptors
    uint64_t totalAceitas = 0;
    uint64_t totalSemDescritor = 0;
};
