// SPDX-License-Identifier: Apache-2.0
// The web page's words in the languages the PPD speaks besides English. The
// print density and paper weight read as in ppd/po/<language>.po (a test
// holds them together); the English is in the model table and web.cpp.
#include "web.h"

namespace tarnwel {

const Translation kTranslations[] = {
    {"de", "ModelName", "Druckermodell"},
    {"de", "PageSize", "Papierformat"},
    {"de", "PaperWeight", "Papiergewicht"},
    {"de", "Duplex", "Beidseitiger Druck"},
    {"de", "PrintDensity", "Druckdichte"},
    {"de", "PrintDensity.Light", "Sehr hell (spart Toner)"},
    {"de", "PrintDensity.MediumLight", "Heller"},
    {"de", "PrintDensity.Medium", "Normal"},
    {"de", "PrintDensity.MediumDark", "Dunkler"},
    {"de", "PrintDensity.Dark", "Sehr dunkel"},
    {"de", "PaperWeight.Medium", "Normalpapier (60-90 g/m²)"},
    {"de", "PaperWeight.MediumHeavy", "Dick (90-120 g/m²)"},
    {"de", "PaperWeight.VeryHeavy", "Schwer (Karton, 120-163 g/m²)"},
    {"de", "Duplex.None", "Aus"},
    {"de", "Duplex.DuplexNoTumble", "Lange Kante (wie ein Buch blättern)"},
    {"de", "Duplex.DuplexTumble", "Kurze Kante (wie einen Block umklappen)"},
    {"de", "AddPrinter.Unavailable",
     "Die Druckersuche ist nicht verfügbar: avahi-daemon läuft nicht."},
    {"de", "AddPrinter.StartAvahi",
     "Diese Seite findet die Drucker im Netz über avahi-daemon. Starten Sie ihn und öffnen Sie "
     "diese Seite erneut:"},
    {"de", "AddPrinter.CommandLine",
     "Oder fügen Sie einen Drucker über die Befehlszeile hinzu, mit Treiber und Adresse:"},

    {"fr", "ModelName", "Modèle d'imprimante"},
    {"fr", "PageSize", "Format du papier"},
    {"fr", "PaperWeight", "Grammage du papier"},
    {"fr", "Duplex", "Impression recto verso"},
    {"fr", "PrintDensity", "Densité d'impression"},
    {"fr", "PrintDensity.Light", "Très claire (économise le toner)"},
    {"fr", "PrintDensity.MediumLight", "Plus claire"},
    {"fr", "PrintDensity.Medium", "Normale"},
    {"fr", "PrintDensity.MediumDark", "Plus foncée"},
    {"fr", "PrintDensity.Dark", "Très foncée"},
    {"fr", "PaperWeight.Medium", "Ordinaire (60-90 g/m²)"},
    {"fr", "PaperWeight.MediumHeavy", "Épais (90-120 g/m²)"},
    {"fr", "PaperWeight.VeryHeavy", "Très épais (carte, 120-163 g/m²)"},
    {"fr", "Duplex.None", "Non"},
    {"fr", "Duplex.DuplexNoTumble", "Bord long (tourner les pages comme un livre)"},
    {"fr", "Duplex.DuplexTumble", "Bord court (tourner les pages comme un bloc-notes)"},
    {"fr", "AddPrinter.Unavailable",
     "La recherche d'imprimantes n'est pas disponible : avahi-daemon ne tourne pas."},
    {"fr", "AddPrinter.StartAvahi",
     "Cette page trouve les imprimantes du réseau grâce à avahi-daemon. Démarrez-le et rouvrez "
     "cette page :"},
    {"fr", "AddPrinter.CommandLine",
     "Ou ajoutez une imprimante en ligne de commande, avec son pilote et son adresse :"},

    {"es", "ModelName", "Modelo de impresora"},
    {"es", "PageSize", "Tamaño del papel"},
    {"es", "PaperWeight", "Gramaje del papel"},
    {"es", "Duplex", "Impresión a doble cara"},
    {"es", "PrintDensity", "Densidad de impresión"},
    {"es", "PrintDensity.Light", "Muy clara (ahorra tóner)"},
    {"es", "PrintDensity.MediumLight", "Más clara"},
    {"es", "PrintDensity.Medium", "Normal"},
    {"es", "PrintDensity.MediumDark", "Más oscura"},
    {"es", "PrintDensity.Dark", "Muy oscura"},
    {"es", "PaperWeight.Medium", "Normal (60-90 g/m²)"},
    {"es", "PaperWeight.MediumHeavy", "Grueso (90-120 g/m²)"},
    {"es", "PaperWeight.VeryHeavy", "Muy grueso (cartulina, 120-163 g/m²)"},
    {"es", "Duplex.None", "No"},
    {"es", "Duplex.DuplexNoTumble", "Borde largo (pasar las páginas como en un libro)"},
    {"es", "Duplex.DuplexTumble", "Borde corto (pasar las páginas como en un bloc)"},
    {"es", "AddPrinter.Unavailable",
     "La búsqueda de impresoras no está disponible: avahi-daemon no se está ejecutando."},
    {"es", "AddPrinter.StartAvahi",
     "Esta página encuentra las impresoras de la red mediante avahi-daemon. Inícielo y vuelva a "
     "abrir esta página:"},
    {"es", "AddPrinter.CommandLine",
     "O añada una impresora desde la línea de órdenes, con su controlador y su dirección:"},

    {"it", "ModelName", "Modello di stampante"},
    {"it", "PageSize", "Formato carta"},
    {"it", "PaperWeight", "Grammatura della carta"},
    {"it", "Duplex", "Stampa fronte/retro"},
    {"it", "PrintDensity", "Densità di stampa"},
    {"it", "PrintDensity.Light", "Molto chiara (risparmia toner)"},
    {"it", "PrintDensity.MediumLight", "Più chiara"},
    {"it", "PrintDensity.Medium", "Normale"},
    {"it", "PrintDensity.MediumDark", "Più scura"},
    {"it", "PrintDensity.Dark", "Molto scura"},
    {"it", "PaperWeight.Medium", "Comune (60-90 g/m²)"},
    {"it", "PaperWeight.MediumHeavy", "Spessa (90-120 g/m²)"},
    {"it", "PaperWeight.VeryHeavy", "Pesante (cartoncino, 120-163 g/m²)"},
    {"it", "Duplex.None", "No (solo fronte)"},
    {"it", "Duplex.DuplexNoTumble", "Lato lungo (girare le pagine come un libro)"},
    {"it", "Duplex.DuplexTumble", "Lato corto (girare le pagine come un blocco note)"},
    {"it", "AddPrinter.Unavailable",
     "La ricerca delle stampanti non è disponibile: avahi-daemon non è in esecuzione."},
    {"it", "AddPrinter.StartAvahi",
     "Questa pagina trova le stampanti in rete tramite avahi-daemon. Avviatelo e riaprite questa "
     "pagina:"},
    {"it", "AddPrinter.CommandLine",
     "Oppure aggiungete una stampante dalla riga di comando, con il suo driver e il suo "
     "indirizzo:"},
};
const size_t kNumTranslations = sizeof(kTranslations) / sizeof(kTranslations[0]);

}  // namespace tarnwel
