// The plain transport: the platform's receive and send, nothing between.
#include "engine/transporte.h"

#include "engine/platform.h"

namespace {

class TPlano final : public TTransporte {
public:
    long cRecebe(int socket, void* buf, size_t n) override { return platformRecv(socket, buf, n); }
    long cEnviaPar(int socket, const char* a, size_t na, const char* b, size_t nb, bool mais) override {
        return platformSendPair(socket, a, na, b, nb, mais);
    }
};

TPlano plano;

}  // namespace

TTransporte* transportePlano() { return &plano; }

void transporteRecusa(int socket, const char* texto, int32_t n) {
    platformSend(socket, texto, size_t(n));
    platformClose(socket);
}
