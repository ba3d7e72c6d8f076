// Test helper: a Qt style plugin, "planted", as someone might put one into
// Tavorin's folder. Whoever loads it and asks for the style makes it write
// the file that PLANTED_STYLE_MARK names.
#include <QCommonStyle>
#include <QFile>
#include <QStylePlugin>

class PlantedStyle : public QStylePlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QStyleFactoryInterface_iid FILE "planted_style.json")

public:
    QStyle *create(const QString &) override
    {
        QFile mark(qEnvironmentVariable("PLANTED_STYLE_MARK"));
        (void)mark.open(QIODevice::WriteOnly);
        return new QCommonStyle;
    }
};

#include "planted_style.moc"
