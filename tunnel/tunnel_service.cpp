#include "tunnel/tunnel_service.h"

QuarryShareTunnelService::QuarryShareTunnelService(QNetworkAccessManager* session, QObject* parent)
    : QObject(parent)
    , m_broker(session) {}
