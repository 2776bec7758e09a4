#include "installwords.h"

#include "installresult.h"

#include <iterator>

namespace {

template<typename Value>
struct Entry
{
    Value value;
    ValueWords words;
};

// Each table lists its enum's values in their order, so that a value is its own index: checked
// when the program is built.
template<typename Value, std::size_t n>
constexpr bool inOrder(const Entry<Value> (&table)[n])
{
    for (std::size_t i = 0; i < n; ++i) {
        if (int(table[i].value) != int(i))
            return false;
    }
    return true;
}

constexpr Entry<InstallStage> kStages[] = {
    {InstallStage::Starting, {"starting", "démarrage", "démarrage"}},
    {InstallStage::Opening, {"opening", "ouverture du port", "ouverture du port"}},
    {InstallStage::Initialising, {"initialisation", "initialisation", "initialisation"}},
    {InstallStage::ReceivingApplication,
     {"receiving-application", "application Mirandol", "application de réception"}},
    {InstallStage::HardwareRead, {"hardware-read", "lecture du matériel", "lecture du matériel"}},
    {InstallStage::HardwareCheck,
     {"hardware-check", "contrôle du matériel", "contrôle du matériel"}},
    {InstallStage::ApplicationList,
     {"application-list", "liste des applications", "liste des applications"}},
    // A file's three stages make one on a live line: its download.
    {InstallStage::Advertisement, {"advertisement", "téléchargement", "annonce"}},
    {InstallStage::Authorisation, {"authorisation", "téléchargement", "autorisation"}},
    {InstallStage::Download, {"download", "téléchargement", "téléchargement"}},
    {InstallStage::Activation, {"activation", "activation", "activation"}},
    {InstallStage::Reboot, {"reboot", "redémarrage", "redémarrage"}},
    {InstallStage::RebootWait, {"reboot-wait", "redémarrage", "attente du retour"}},
    {InstallStage::Verification, {"verification", "vérification", "vérification"}},
    {InstallStage::Finished, {"finished", "terminé", "fin"}},
};

constexpr Entry<InstallOutcome> kOutcomes[] = {
    {InstallOutcome::Updated, {"updated", "mis à jour", "mis à jour"}},
    {InstallOutcome::UpToDate, {"up-to-date", "déjà à jour", "déjà à jour"}},
    {InstallOutcome::InstalledUnverified,
     {"installed-unverified", "à vérifier", "installé, à vérifier"}},
    {InstallOutcome::Failed, {"failed", "en échec", "échec"}},
    {InstallOutcome::Interrupted, {"interrupted", "interrompu", "interrompu"}},
};

constexpr Entry<FailureCause> kCauses[] = {
    {FailureCause::None, {"", "aucune", "aucune"}},
    {FailureCause::Package, {"package", "package", "le package"}},
    {FailureCause::Mismatch,
     {"hardware-mismatch", "matériel refusé", "matériel que le package n'accepte pas"}},
    {FailureCause::PortUnavailable,
     {"port-unavailable", "port indisponible", "port indisponible"}},
    {FailureCause::Refused, {"refused", "refus", "refus du terminal"}},
    {FailureCause::BadReply,
     {"bad-reply", "réponse invalide", "réponse endommagée ou inattendue"}},
    {FailureCause::NoAnswer, {"no-answer", "pas de réponse", "pas de réponse"}},
};

static_assert(inOrder(kStages) && std::size(kStages) == kInstallStageCount &&
                  kStages[kInstallStageCount - 1].value == InstallStage::Finished,
              "one entry per stage, in order");
static_assert(inOrder(kOutcomes) && std::size(kOutcomes) == kInstallOutcomeCount &&
                  kOutcomes[kInstallOutcomeCount - 1].value == InstallOutcome::Interrupted,
              "one entry per outcome, in order");
static_assert(inOrder(kCauses) && std::size(kCauses) == kFailureCauseCount &&
                  kCauses[kFailureCauseCount - 1].value == FailureCause::NoAnswer,
              "one entry per cause, in order");

// A value from outside the enum (a corrupted or newer value) is read as the last entry.
template<typename Value, std::size_t n>
const ValueWords &lookUp(const Entry<Value> (&table)[n], Value value)
{
    const auto i = std::size_t(value);
    return table[i < n ? i : n - 1].words;
}

} // namespace

const ValueWords &wordsOf(InstallStage stage)
{
    return lookUp(kStages, stage);
}

const ValueWords &wordsOf(InstallOutcome outcome)
{
    return lookUp(kOutcomes, outcome);
}

const ValueWords &wordsOf(FailureCause cause)
{
    return lookUp(kCauses, cause);
}

QString progressLabel(const InstallProgress &progress)
{
    const QString label = shortLabelOf(progress.stage);
    switch (progress.stage) {
    case InstallStage::Advertisement:
    case InstallStage::Authorisation:
    case InstallStage::Download:
        return label + QStringLiteral(" %1/%2").arg(progress.file).arg(progress.fileCount);
    default:
        return label;
    }
}
