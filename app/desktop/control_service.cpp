#include "app/desktop/control_service.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

const QString kInvalidMode = u"org.quovant.Quovant.Error.InvalidMode"_s;

void print(FILE* stream, const QString& text) {
    std::fputs(text.toUtf8().constData(), stream);
    std::fflush(stream);
}

} // namespace

ControlService::Claim ControlService::claimName(QDBusConnection connection) {
    if (!connection.isConnected() || !connection.interface()) {
        return Claim::noBus;
    }
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
        connection.interface()->registerService(QString::fromLatin1(kServiceName),
                                                QDBusConnectionInterface::DontQueueService,
                                                QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid()) {
        return Claim::noBus;
    }
    return reply.value() == QDBusConnectionInterface::ServiceRegistered ? Claim::claimed
                                                                        : Claim::alreadyRunning;
}

void ControlService::releaseName(QDBusConnection connection) {
    if (connection.isConnected()) {
        connection.unregisterService(QString::fromLatin1(kServiceName));
    }
}

bool ControlService::registerOn(QDBusConnection connection) {
    return connection.registerVirtualObject(QString::fromLatin1(kObjectPath), this,
                                            QDBusConnection::SingleNode);
}

QString ControlService::introspect(const QString&) const {
    return u"<interface name=\"org.quovant.Quovant\">"
           u"<method name=\"Press\"><arg name=\"mode\" type=\"s\" direction=\"in\"/>"
           u"<arg name=\"accepted\" type=\"b\" direction=\"out\"/></method>"
           u"<method name=\"Release\"><arg name=\"mode\" type=\"s\" direction=\"in\"/></method>"
           u"<method name=\"Toggle\"><arg name=\"mode\" type=\"s\" direction=\"in\"/>"
           u"<arg name=\"accepted\" type=\"b\" direction=\"out\"/></method>"
           u"<method name=\"Cancel\"/>"
           u"<method name=\"State\"><arg name=\"state\" type=\"s\" direction=\"out\"/></method>"
           u"</interface>"_s;
}

bool ControlService::handleMessage(const QDBusMessage& message,
                                   const QDBusConnection& connection) {
    if (message.interface() != QLatin1String(kInterface) && !message.interface().isEmpty()) {
        return false;
    }
    const QString member = message.member();
    const QList<QVariant> arguments = message.arguments();
    auto reply = [&](const QList<QVariant>& values) {
        connection.send(message.createReply(values));
        return true;
    };
    auto modeArgument = [&]() -> std::optional<PipelineMode> {
        if (arguments.size() != 1 || arguments.first().typeId() != QMetaType::QString) {
            return std::nullopt;
        }
        return CommandLine::parseMode(arguments.first().toString());
    };

    if (member == u"Press"_s || member == u"Release"_s || member == u"Toggle"_s) {
        const std::optional<PipelineMode> mode = modeArgument();
        if (!mode) {
            connection.send(message.createErrorReply(
                kInvalidMode, u"The mode must be \"dictation\", \"edit\" or \"prompt\"."_s));
            return true;
        }
        if (member == u"Press"_s) {
            return reply({onPress ? onPress(*mode) : false});
        }
        if (member == u"Toggle"_s) {
            return reply({onToggle ? onToggle(*mode) : false});
        }
        if (onRelease) {
            onRelease(*mode);
        }
        return reply({});
    }
    if (member == u"Cancel"_s && arguments.isEmpty()) {
        if (onCancel) {
            onCancel();
        }
        return reply({});
    }
    if (member == u"State"_s && arguments.isEmpty()) {
        return reply({onState ? onState() : u"idle"_s});
    }
    return false;
}

QString ControlService::describe(const PipelineState& state, PipelineMode mode, bool starting) {
    const QString modeName = CommandLine::modeName(mode);
    if (starting) {
        return u"recording "_s + modeName;
    }
    switch (state.kind) {
    case PipelineState::Kind::idle:
        return u"idle"_s;
    case PipelineState::Kind::recording:
        return u"recording "_s + modeName;
    case PipelineState::Kind::thinking:
        return u"thinking "_s + modeName;
    case PipelineState::Kind::error:
        return u"error: "_s + state.message;
    }
    return {};
}

namespace ControlClient {

int run(const CommandLine& command) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        print(stderr, u"quovant: no session bus, so the running Quovant cannot be reached.\n"_s);
        return 1;
    }
    const QString service = QString::fromLatin1(ControlService::kServiceName);
    if (!bus.interface() || !bus.interface()->isServiceRegistered(service).value()) {
        print(stderr, u"Quovant is not running. Start it with `quovant`.\n"_s);
        return 1;
    }

    QString member;
    QList<QVariant> arguments;
    switch (command.verb) {
    case CommandLine::Verb::press:
        member = u"Press"_s;
        break;
    case CommandLine::Verb::release:
        member = u"Release"_s;
        break;
    case CommandLine::Verb::toggle:
        member = u"Toggle"_s;
        break;
    case CommandLine::Verb::cancel:
        member = u"Cancel"_s;
        break;
    case CommandLine::Verb::state:
        member = u"State"_s;
        break;
    }
    if (command.verb == CommandLine::Verb::press || command.verb == CommandLine::Verb::release ||
        command.verb == CommandLine::Verb::toggle) {
        arguments.append(CommandLine::modeName(command.mode));
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(service, QString::fromLatin1(ControlService::kObjectPath),
                                       QString::fromLatin1(ControlService::kInterface), member);
    call.setArguments(arguments);
    const QDBusMessage answer = bus.call(call, QDBus::Block, 10000);
    if (answer.type() == QDBusMessage::ErrorMessage) {
        print(stderr, u"quovant: "_s + command.verbName(command.verb) + u" failed: "_s +
                          answer.errorMessage() + u'\n');
        return 1;
    }
    const QList<QVariant> values = answer.arguments();
    if (command.verb == CommandLine::Verb::state) {
        print(stdout, (values.isEmpty() ? QString() : values.first().toString()) + u'\n');
        return 0;
    }
    if (!values.isEmpty() && !values.first().toBool()) {
        print(stderr,
              u"Quovant did not start a recording: it is busy with another, or this mode "
                u"cannot start now (its notification says why).\n"_s);
        return 1;
    }
    return 0;
}

} // namespace ControlClient
} // namespace quovant
