#!/usr/bin/env python3
# Writes the demo mall: catalogue.json and the pictures, icons, backgrounds, data sheets and
# sound clip under www/KVZSV/ that its records name. Run it after changing the catalogue below;
# what it writes is kept in the repository, so building or installing the mall never runs it.
import json
import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
WWW = os.path.join(HERE, "www")

TAX, EXEMPT, MEMBER, STOCK, BACKORDER, CHOOSE, NOSHIP = 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40
VISA, MC, AMEX, DISC, JCB, OPT5, PO, COD, BANK, ACCOUNT = 1, 2, 4, 8, 16, 32, 64, 128, 256, 512
DEPT_NO_ORDERS = 0x01


def bits(*numbers):
    return sum(1 << n for n in numbers)


# ---- the catalogue ---------------------------------------------------------------------------
# Each product names its drawing ("art") and its colours; the pictures are written to match.

STORES = [
    {
        "id": "OAKBARN", "name": "Oak & Barn Outfitters", "mail_user": "oakbarn", "icon": "oakbarn.png",
        "description": "Outdoor clothing and camp gear, tested on the trails of the Cascades since 1978. "
                       "Free repairs for the life of every jacket we sell.",
        "art": ("tree", (46, 94, 62), (233, 226, 204)),
        "background": ("dots", (246, 241, 228), (236, 228, 208)),
        "extended": {
            "max_order": 2500, "options": VISA | MC | AMEX | DISC | COD, "download_options": VISA | MC | AMEX | DISC,
            "manager": "Dana Whitfield", "address": "1410 Alder Street", "city_state_zip": "Bend, OR 97701",
            "country": "USA", "phone": "541-555-0142", "fax": "541-555-0143", "weight_format": "lb",
            "tax_settings": 2,
            "questions": ["How did you hear about Oak & Barn?", "Gift message (optional)", "", "", ""],
        },
        "departments": [
            ("JACKETS", "Jackets & Shells", "jackets.png", 0,
             "Insulated parkas, rain shells and fleece for every season, from the first frost to spring melt."),
            ("BOOTS", "Boots & Socks", "boots.png", 0,
             "Waterproof hikers, fast trail runners and merino socks that keep feet dry on long days."),
            ("CAMP", "Camp Kitchen", "camp.png", 0,
             "Stoves, mugs and chairs for the campsite. Bulky items carry a handling charge."),
            ("RENTALS", "Gear Rental", "rentals.png", DEPT_NO_ORDERS,
             "Tents, kayaks and snowshoes to rent by the day or weekend. Reserve at the Bend store: "
             "rentals cannot be ordered online."),
        ],
        "formats": [
            ("SIZE", ["XS", "S", "M", "L", "XL", "XXL"]),
            ("COLOR", ["Forest", "Navy", "Rust", "Charcoal"]),
            ("BOOTSIZE", ["7", "8", "9", "10", "11", "12"]),
        ],
        "products": [
            dict(department="JACKETS", id="RIDGE PARKA", name="Ridgeline Down Parka",
                 description="700-fill responsibly sourced down, a storm hood and a two-way zip. Rated to -20 °F; "
                             "our warmest jacket.",
                 flags=TAX | STOCK | BACKORDER | CHOOSE, price=249, info_kind=1, stock=4,
                 format1="SIZE", format2="COLOR", offered=bits(1, 2, 3, 4, 5, 8, 9, 10, 11), weight=2.4,
                 keywords=["PARKA", "JACKET", "DOWN", "WINTER", "COAT"],
                 art=[("parka", (46, 94, 62)), ("parka", (40, 58, 98))]),
            dict(department="JACKETS", id="RAIN-SHELL", name="Stormbreak 3L Rain Shell",
                 description="Three-layer waterproof, breathable shell with pit zips and a helmet-ready hood. "
                             "Packs into its own chest pocket.",
                 flags=TAX | CHOOSE, price=129, format1="SIZE", format2="COLOR", offered=bits(0, 1, 2, 3, 4, 5, 8, 9, 11),
                 weight=0.9, art=[("shell", (168, 74, 40))]),
            dict(department="JACKETS", id="FLEECE-200", name="Trailhead 200 Fleece Jacket",
                 description="Midweight recycled fleece with a full zip and zippered hand pockets. Wear it alone "
                             "or under a shell.",
                 flags=TAX | CHOOSE, price=69, format1="SIZE", format2="COLOR", offered=bits(0, 1, 2, 3, 4, 5, 8, 9, 10, 11),
                 weight=1.1, keywords=["FLEECE", "JACKET", "MIDLAYER"], art=[("fleece", (72, 78, 84))]),
            dict(department="JACKETS", id="WOOL-VEST", name="Merino Wool Vest",
                 description="A thin, warm layer of knitted merino that does not itch and does not smell after a "
                             "week on the trail.",
                 flags=TAX | CHOOSE, price=89, format1="SIZE", offered=bits(1, 2, 3, 4), weight=0.5,
                 art=[("vest", (120, 96, 66))]),
            dict(department="BOOTS", id="HIKER-MID", name="Switchback Mid Hiking Boot",
                 description="Waterproof full-grain leather, a grippy lugged outsole and a cushioned midsole for "
                             "long days with a heavy pack.",
                 flags=TAX | STOCK | BACKORDER | CHOOSE, price=159.95, info_kind=1, stock=12,
                 format1="BOOTSIZE", offered=bits(0, 1, 2, 3, 4, 5), weight=3.1,
                 keywords=["BOOT", "BOOTS", "HIKING", "WATERPROOF", "LEATHER"],
                 art=[("boot", (110, 70, 40)), ("boot", (80, 52, 30))]),
            dict(department="BOOTS", id="TRAIL-RUN", name="Granite Trail Runner",
                 description="A light, fast shoe with a rock plate and sticky rubber for technical trails. "
                             "Half sizes by special order only.",
                 flags=TAX | STOCK | CHOOSE, price=124, stock=6, format1="BOOTSIZE", offered=bits(1, 2, 3, 4),
                 weight=1.8, art=[("shoe", (52, 110, 150))]),
            dict(department="BOOTS", id="WOOL-SOCKS", name="Merino Hiking Socks, 3 Pairs",
                 description="Cushioned merino socks with a reinforced heel and toe. Buy two packs or more and "
                             "save.",
                 flags=TAX | CHOOSE, price=24, format1="SIZE", offered=bits(1, 2, 3), weight=0.4,
                 discounts=[(2, 4, 5), (5, 99, 10)], keywords=["SOCKS", "MERINO", "WOOL"],
                 art=[("socks", (150, 60, 50))]),
            dict(department="CAMP", id="STOVE-2B", name="Basecamp Two-Burner Stove",
                 description="Two 10,000 BTU burners with wind guards and a push-button igniter. Runs on "
                             "standard 16 oz propane cylinders.",
                 flags=TAX | STOCK | BACKORDER, price=89, handling_first=6, handling_more=3, stock=0,
                 weight=11.5, keywords=["STOVE", "CAMP", "PROPANE", "COOKING"], art=[("stove", (60, 64, 70))]),
            dict(department="CAMP", id="ENAMEL MUG", name="Enamel Camp Mug",
                 description="Steel mug with a speckled enamel finish, 12 oz. Goes straight on the fire. Four "
                             "or more save 10 %, eight or more 15 %.",
                 flags=TAX, price=12.5, format1="COLOR", offered=bits(0, 1, 2), weight=0.6,
                 discounts=[(4, 7, 10), (8, 999, 15)], art=[("mug", (40, 58, 98))]),
            dict(department="CAMP", id="FIRE-KIT", name="Storm-Proof Fire Starter Kit",
                 description="Ferro rod, striker, waxed tinder and storm matches in a waterproof tin.",
                 flags=TAX, price=14, weight=0.3, art=[("box", (168, 74, 40))]),
            dict(department="CAMP", id="CAMP-CHAIR", name="Ridgeback Folding Camp Chair",
                 description="Powder-coated steel frame, a tall back and a cup holder. Folds flat for the car.",
                 flags=TAX | STOCK, price=59, handling_first=2.5, handling_more=1, stock=9, weight=5.2,
                 art=[("chair", (46, 94, 62))]),
            dict(department="RENTALS", id="TENT-4P", name="Four-Person Tent, Weekend Rental",
                 description="Pick up Friday after 3 pm, return Monday by noon. Footprint, stakes and a repair "
                             "kit included.",
                 flags=NOSHIP, price=45, art=[("tent", (200, 150, 40))]),
            dict(department="RENTALS", id="KAYAK-DAY", name="Touring Kayak, Day Rental",
                 description="A stable 14-foot touring kayak with paddle, spray skirt and life jacket.",
                 flags=NOSHIP, price=60, art=[("kayak", (210, 90, 40))]),
            dict(department="RENTALS", id="SNOWSHOE", name="Snowshoe Set, Weekend Rental",
                 description="Aluminium snowshoes and adjustable poles, sized to your weight at pick-up.",
                 flags=NOSHIP, price=25, art=[("snowshoe", (40, 58, 98))]),
        ],
    },
    {
        "id": "BYTEBAY", "name": "Byte Bay Electronics", "mail_user": "bytebay", "icon": "bytebay.png",
        "po_key": "RESALE",
        "description": "Cables, audio and software for home and studio. Byte Bay Club members save on "
                       "hundreds of items, and resellers buy tax-free on account.",
        "art": ("chip", (30, 90, 170), (255, 255, 255)),
        "background": ("grid", (238, 244, 252), (222, 232, 246)),
        "extended": {
            "max_order": 5000, "options": VISA | MC | AMEX | DISC | JCB | PO | ACCOUNT,
            "download_options": VISA | MC | AMEX | DISC | JCB | ACCOUNT,
            "manager": "Priya Natarajan", "address": "88 Harbor Tech Park, Ste 210",
            "city_state_zip": "San Jose, CA 95134", "country": "USA", "phone": "408-555-0188", "fax": "",
            "weight_format": "lb", "tax_settings": 10,
            "questions": ["Company name for the invoice (resellers)", "", "", "", ""],
        },
        "departments": [
            ("CABLES", "Cables & Power", "cables.png", 0,
             "Braided USB-C, HDMI and network cables, and surge protection. Quantity prices on every cable."),
            ("AUDIO", "Audio", "audio.png", 0,
             "Earbuds, speakers, headphones and the small amplifiers that make them sing."),
            ("SOFTWARE", "Software Downloads", "software.png", 0,
             "Delivered by download as soon as your order is accepted: nothing to ship, no shipping charge."),
        ],
        "formats": [
            ("COLOR", ["Black", "White", "Sky Blue"]),
            ("EDITION", ["Personal", "Family", "Business"]),
        ],
        "products": [
            dict(department="CABLES", id="USBC-1M", name="USB-C to USB-C Cable, 1 m",
                 description="100 W power delivery and 10 Gbit/s data in a braided jacket that survives the "
                             "bottom of a bag.",
                 flags=TAX | EXEMPT | MEMBER | STOCK | BACKORDER, price=9.99, member_price=7.99,
                 member_key="BAYCLUB", tax_exempt_key="RESALE", stock=250, format1="COLOR", offered=bits(0, 1),
                 discounts=[(5, 9, 5), (10, 49, 10), (50, 9999, 15)], weight=0.1,
                 keywords=["USB", "USB-C", "CABLE", "CHARGING"], art=[("cable", (30, 30, 34))]),
            dict(department="CABLES", id="HDMI-2M", name="HDMI 2.1 Cable, 2 m",
                 description="Certified ultra high speed: 4K at 120 Hz and 8K at 60 Hz, with eARC.",
                 flags=TAX | EXEMPT | MEMBER, price=14.99, member_price=11.99, member_key="BAYCLUB",
                 tax_exempt_key="RESALE", discounts=[(5, 49, 10)], weight=0.2,
                 art=[("cable", (40, 40, 120))]),
            dict(department="CABLES", id="CAT6-5M", name="Cat 6 Patch Cable, 5 m",
                 description="Snagless boots and pure copper conductors for gigabit networks.",
                 flags=TAX | EXEMPT, price=6.49, tax_exempt_key="RESALE",
                 discounts=[(10, 99, 10), (100, 9999, 20)], weight=0.2, keywords=["CAT6", "ETHERNET", "NETWORK", "CABLE"],
                 art=[("cable", (40, 120, 190))]),
            dict(department="CABLES", id="SURGE 6", name="Six-Outlet Surge Protector",
                 description="1,800 joules of protection, two USB charging ports and a 2 m cord.",
                 flags=TAX, price=29.95, handling_first=1.5, weight=1.4, art=[("surge", (235, 235, 235))]),
            dict(department="AUDIO", id="BUDS-X2", name="Wavelet X2 Wireless Earbuds",
                 description="Active noise cancelling, eight hours per charge and a pocket-sized case with "
                             "wireless charging.",
                 flags=TAX | MEMBER | STOCK | CHOOSE, price=79, member_price=69, member_key="BAYCLUB", stock=30,
                 format1="COLOR", offered=bits(0, 1, 2), weight=0.3,
                 keywords=["EARBUDS", "WIRELESS", "BLUETOOTH", "HEADPHONES"],
                 art=[("earbuds", (30, 30, 34)), ("earbuds", (245, 245, 245))]),
            dict(department="AUDIO", id="SPKR-MINI", name="Pebble Mini Bluetooth Speaker",
                 description="Splash-proof speaker the size of a stone. Sold out until the next shipment.",
                 flags=TAX | STOCK, price=39, stock=0, weight=0.7, art=[("speaker", (220, 110, 60))]),
            dict(department="AUDIO", id="STUDIO S1", name="Studio S1 Closed-Back Headphones",
                 description="Flat, detailed sound for mixing and long listening sessions. Read the data sheet "
                             "or hear a clip before you buy.",
                 flags=TAX | MEMBER, price=149, member_price=129, member_key="BAYCLUB", info_kind=3,
                 abstract="KVZSV\\BYTEBAY\\AUDIO\\s1sheet.htm", sound="KVZSV\\BYTEBAY\\AUDIO\\s1clip.wav",
                 weight=0.9, keywords=["HEADPHONES", "STUDIO", "MONITOR"],
                 art=[("headphones", (30, 30, 34)), ("headphones", (120, 30, 30)), ("headphones", (60, 60, 66))]),
            dict(department="AUDIO", id="DAC-MINI", name="Pocket USB DAC and Headphone Amp",
                 description="Plug it between your phone and your headphones and hear what you were missing.",
                 flags=TAX | STOCK | BACKORDER, price=59, stock=3, weight=0.2, art=[("dac", (150, 150, 160))]),
            dict(department="SOFTWARE", id="PHOTOKIT-5", name="PhotoKit 5 Photo Editor",
                 description="Raw development, layers and one-click skies. Personal for one computer, Family "
                             "for five, Business with a volume licence.",
                 flags=TAX | MEMBER | CHOOSE | NOSHIP, price=49, member_price=39, member_key="BAYCLUB",
                 info_kind=2, download="downloads\\photokit5.zip", format1="EDITION", offered=bits(0, 1, 2),
                 keywords=["PHOTOKIT", "PHOTO", "EDITOR", "SOFTWARE"], art=[("softbox", (200, 60, 110))]),
            dict(department="SOFTWARE", id="BACKUP-PRO", name="SafeCopy Backup Pro, One Year",
                 description="Versioned, encrypted backups of every computer in the house to the drive of your "
                             "choice.",
                 flags=TAX | NOSHIP, price=29, info_kind=2, download="downloads\\safecopy.zip",
                 art=[("softbox", (40, 140, 90))]),
            dict(department="SOFTWARE", id="FONTPACK", name="Studio Font Pack, 40 Families",
                 description="Forty type families with full accents, licensed for print and web.",
                 flags=TAX | NOSHIP, price=19, info_kind=2, download="downloads\\fontpack.zip",
                 keywords=["FONTS", "TYPE", "TYPEFACE"], art=[("softbox", (60, 60, 70))]),
        ],
    },
    {
        "id": "KETTLE", "name": "Kettle & Leaf Tea House", "mail_user": "kettle", "icon": "kettle.png",
        "description": "Single-estate teas packed by hand in Portland, and the teapots and cups to brew them "
                       "properly. Three tins or more save 5 %, six 10 %, a dozen 15 %.",
        "art": ("teapot", (32, 120, 110), (246, 240, 226)),
        "background": ("leaves", (247, 244, 234), (232, 236, 216)),
        "extended": {
            "max_order": 0, "options": VISA | MC | AMEX | BANK, "download_options": VISA | MC | AMEX | BANK,
            "manager": "Hana Kobayashi", "address": "512 SE Division Street", "city_state_zip": "Portland, OR 97202",
            "country": "USA", "phone": "503-555-0117", "fax": "503-555-0118", "weight_format": "lb",
            "tax_settings": 74,
            "questions": ["Gift message for the card", "Preferred delivery day", "", "", ""],
        },
        "departments": [
            ("TEAS", "Loose-Leaf Teas", "teas.png", 0,
             "Green, black, oolong and herbal teas from single estates, in tins of 50, 100 or 250 grams."),
            ("TEAWARE", "Teaware", "teaware.png", 0,
             "Clay teapots, porcelain gaiwans, stoneware cups and a kettle that holds the temperature."),
            ("GIFTS", "Gifts", "gifts.png", 0,
             "Samplers, kits and gift cards for the tea drinker who has everything but time."),
        ],
        "formats": [
            ("TIN", ["50 g", "100 g", "250 g"]),
            ("GLAZE", ["Celadon", "Tenmoku", "White"]),
        ],
        "products": [
            dict(department="TEAS", id="SENCHA-UJI", name="Uji Sencha",
                 description="Steamed green tea from the hills above Uji: grassy, sweet and bright. Brew at "
                             "70 °C for one minute.",
                 flags=STOCK | BACKORDER | CHOOSE, price=12, stock=40, format1="TIN", offered=bits(0, 1, 2),
                 discounts=[(3, 5, 5), (6, 11, 10), (12, 999, 15)], weight=0.25,
                 keywords=["SENCHA", "GREEN", "JAPANESE", "UJI"], art=[("leaves", (96, 140, 60))]),
            dict(department="TEAS", id="ASSAM-TGFOP", name="Assam TGFOP, Harmutty Estate",
                 description="Malty, full-bodied second flush Assam with golden tips. Takes milk well.",
                 flags=STOCK | BACKORDER | CHOOSE, price=9.5, stock=55, format1="TIN", offered=bits(0, 1, 2),
                 discounts=[(3, 5, 5), (6, 11, 10), (12, 999, 15)], weight=0.25,
                 keywords=["ASSAM", "BLACK", "BREAKFAST"], art=[("leaves", (90, 50, 30))]),
            dict(department="TEAS", id="EARL GREY", name="Earl Grey Supreme",
                 description="Ceylon black tea scented with cold-pressed Calabrian bergamot and a few "
                             "cornflower petals.",
                 flags=STOCK | BACKORDER | CHOOSE, price=8.75, stock=80, format1="TIN", offered=bits(0, 1, 2),
                 discounts=[(3, 5, 5), (6, 11, 10), (12, 999, 15)], weight=0.25,
                 keywords=["EARL", "GREY", "BERGAMOT", "BLACK"], art=[("tin", (40, 50, 90))]),
            dict(department="TEAS", id="DRAGONWELL", name="Dragonwell Longjing, Spring Pick",
                 description="Pan-fired flat leaves from Hangzhou with a toasted chestnut sweetness. The new "
                             "harvest ships in May; order now to reserve.",
                 flags=STOCK | BACKORDER | CHOOSE, price=16, stock=0, info_kind=1, format1="TIN",
                 offered=bits(0, 1), discounts=[(3, 5, 5), (6, 11, 10), (12, 999, 15)], weight=0.25,
                 art=[("leaves", (130, 150, 70)), ("tin", (130, 150, 70))]),
            dict(department="TEAS", id="ROOIBOS-VAN", name="Vanilla Rooibos",
                 description="Caffeine-free red bush from the Cederberg with Madagascar vanilla. Lovely iced.",
                 flags=STOCK | BACKORDER | CHOOSE, price=7.95, stock=25, format1="TIN", offered=bits(0, 1, 2),
                 discounts=[(3, 5, 5), (6, 11, 10), (12, 999, 15)], weight=0.25,
                 art=[("leaves", (170, 70, 40))]),
            dict(department="TEAS", id="GENMAICHA", name="Genmaicha with Matcha",
                 description="Green tea with toasted rice, dusted with matcha for a deeper colour. Nutty and "
                             "comforting.",
                 flags=STOCK | BACKORDER | CHOOSE, price=8.25, stock=18, format1="TIN", offered=bits(0, 1, 2),
                 discounts=[(3, 5, 5), (6, 11, 10), (12, 999, 15)], weight=0.25,
                 art=[("leaves", (150, 160, 80))]),
            dict(department="TEAS", id="OOLONG-TGY", name="Tieguanyin Oolong",
                 description="Rolled Anxi oolong with an orchid aroma that opens over five or six short "
                             "infusions.",
                 flags=STOCK | BACKORDER | CHOOSE, price=14.5, stock=12, format1="TIN", offered=bits(0, 1, 2),
                 discounts=[(3, 5, 5), (6, 11, 10), (12, 999, 15)], weight=0.25,
                 keywords=["OOLONG", "TIEGUANYIN", "IRON GODDESS"], art=[("leaves", (70, 110, 60))]),
            dict(department="TEAWARE", id="KYUSU-300", name="Tokoname Kyusu Teapot, 300 ml",
                 description="Unglazed red clay with a side handle and a fine built-in strainer. Each one is "
                             "thrown by hand; only a few in stock.",
                 flags=TAX | STOCK, price=68, handling_first=4, stock=2, info_kind=1, weight=1.2,
                 keywords=["KYUSU", "TEAPOT", "CLAY", "TOKONAME"],
                 art=[("teapot", (160, 70, 40)), ("teapot", (130, 56, 32))]),
            dict(department="TEAWARE", id="GAIWAN", name="Porcelain Gaiwan, 150 ml",
                 description="Lidded bowl for gongfu brewing, in three glazes.",
                 flags=TAX | CHOOSE, price=24, format1="GLAZE", offered=bits(0, 1, 2), weight=0.6,
                 art=[("gaiwan", (150, 190, 170))]),
            dict(department="TEAWARE", id="GOOSENECK", name="Gooseneck Electric Kettle, 0.9 l",
                 description="Holds any temperature from 40 to 100 °C to the degree, with a slow pour for "
                             "green teas.",
                 flags=TAX | STOCK | BACKORDER, price=89, handling_first=3, stock=5, weight=2.6,
                 keywords=["KETTLE", "GOOSENECK", "ELECTRIC"], art=[("kettle", (40, 40, 44))]),
            dict(department="TEAWARE", id="CUP-SET-4", name="Stoneware Tea Cups, Set of Four",
                 description="Small handleless cups that sit well in the hand.",
                 flags=TAX | CHOOSE, price=36, format1="GLAZE", offered=bits(0, 1), weight=1.6,
                 art=[("cups", (110, 150, 130))]),
            dict(department="GIFTS", id="GIFTCARD-25", name="E-Gift Card, $25",
                 description="A gift code sent by e-mail the moment the order is accepted. Never expires.",
                 flags=NOSHIP, price=25, download="giftcards\\egift25.txt", keywords=["GIFT", "CARD", "VOUCHER"],
                 art=[("card", (32, 120, 110))]),
            dict(department="GIFTS", id="SAMPLER-6", name="Six-Tea Discovery Sampler",
                 description="Six 25 g tins, from sencha to rooibos, in a wooden box with brewing notes.",
                 flags=STOCK | BACKORDER, price=34, stock=10, weight=0.9, art=[("box", (150, 110, 60))]),
            dict(department="GIFTS", id="MATCHA-KIT", name="Matcha Starter Kit",
                 description="Ceremonial-grade matcha, a bamboo whisk, a scoop and a wide bowl.",
                 flags=TAX, price=58, info_kind=1, weight=1, keywords=["MATCHA", "WHISK", "KIT", "GIFT"],
                 art=[("gaiwan", (110, 150, 60))]),
        ],
    },
    {
        "id": "NLIGHT", "name": "Northlight Print Gallery", "mail_user": "nlight", "access_key": "NLCLUB",
        "icon": "nlight.png", "po_key": "NLCLUB",
        "description": "Limited-edition photographs from the far north, printed on archival paper, signed and "
                       "numbered. For members of the Northlight Club.",
        "art": ("aurora", (18, 26, 54), (90, 220, 160)),
        "background": ("stars", (24, 30, 52), (60, 70, 104)),
        "extended": {
            "max_order": 10000, "options": VISA | MC | AMEX | PO, "download_options": VISA | MC | AMEX,
            "manager": "Erik Solberg", "address": "Storgata 12", "city_state_zip": "8300 Svolvær",
            "country": "Norway", "phone": "+47 76 55 01 20", "fax": "", "weight_format": "kg", "tax_settings": 4,
            "questions": ["Name for the certificate of authenticity", "", "", "", ""],
        },
        "departments": [
            ("PRINTS", "Limited Editions", "prints.png", 0,
             "Editions of 50 or fewer, each with a certificate. When an edition is gone, it is gone."),
            ("FRAMES", "Frames & Mats", "frames.png", 0,
             "Hand-joined frames in oak and black ash with museum glass, sized to our prints."),
        ],
        "formats": [
            ("PRINTSIZE", ["30x40 cm", "40x50 cm", "50x70 cm", "70x100 cm"]),
            ("PAPER", ["Lustre", "Matte", "Fine Art"]),
        ],
        "products": [
            dict(department="PRINTS", id="AURORA-01", name="Aurora over Lofoten, Edition of 50",
                 description="A green and violet corona over the peaks of Moskenesøya, February 2023.",
                 flags=TAX | STOCK | CHOOSE, price=180, stock=7, info_kind=3,
                 abstract="KVZSV\\NLIGHT\\PRINTS\\aurora.htm", format1="PRINTSIZE", format2="PAPER",
                 offered=bits(0, 1, 2, 3, 8, 9, 10), weight=1,
                 keywords=["AURORA", "LOFOTEN", "NORTHERN LIGHTS", "NIGHT"],
                 art=[("aurora_print", 0), ("aurora_print", 1)]),
            dict(department="PRINTS", id="FJORD-MIST", name="Morning Mist, Reinefjord",
                 description="Red fishing cabins half lost in fog on a still September morning.",
                 flags=TAX | STOCK | CHOOSE, price=140, stock=12, info_kind=3, format1="PRINTSIZE",
                 format2="PAPER", offered=bits(0, 1, 2, 8, 9, 10), weight=1, art=[("fjord", 0)]),
            dict(department="PRINTS", id="TIDE POOLS", name="Tide Pools at Uttakleiv",
                 description="Low winter sun across the round stones of Uttakleiv beach.",
                 flags=TAX | STOCK | CHOOSE, price=120, stock=20, info_kind=3, format1="PRINTSIZE",
                 format2="PAPER", offered=bits(0, 1, 2, 8, 9), weight=1, art=[("beach", 0)]),
            dict(department="PRINTS", id="MIDNIGHT-SUN", name="Midnight Sun, Senja",
                 description="The sun at its lowest over the Okshornan ridge at half past midnight. This "
                             "edition is sold out.",
                 flags=TAX | STOCK | CHOOSE, price=160, stock=0, info_kind=3, format1="PRINTSIZE",
                 offered=bits(0, 1, 2), weight=1, art=[("midnight", 0)]),
            dict(department="PRINTS", id="NO.7-HARBOUR", name="Harbour Lights No. 7",
                 description="Svolvær harbour at blue hour, the seventh of a series of harbour nights.",
                 flags=TAX | STOCK | CHOOSE, price=120, stock=20, info_kind=3, format1="PRINTSIZE",
                 format2="PAPER", offered=bits(0, 1, 8, 9, 10), weight=1,
                 keywords=["HARBOUR", "HARBOR", "SVOLVAER", "NIGHT"], art=[("harbour", 0)]),
            dict(department="FRAMES", id="OAK-FRAME", name="Solid Oak Frame with Museum Glass",
                 description="Hand-joined European oak, oiled, with UV-filtering museum glass.",
                 flags=TAX | CHOOSE, price=95, handling_first=5, handling_more=2.5, format1="PRINTSIZE",
                 offered=bits(0, 1, 2, 3), weight=2, art=[("frame", (170, 130, 80))]),
            dict(department="FRAMES", id="BLACK-FRAME", name="Black Ash Frame with Museum Glass",
                 description="Stained black ash with the grain showing through, UV-filtering glass.",
                 flags=TAX | CHOOSE, price=85, handling_first=5, handling_more=2.5, format1="PRINTSIZE",
                 offered=bits(0, 1, 2, 3), weight=2, art=[("frame", (34, 34, 38))]),
            dict(department="FRAMES", id="MAT-BOARD", name="Museum Mat Board",
                 description="Acid-free cotton rag mat, cut to your print. Three or more save 10 %.",
                 flags=TAX | CHOOSE, price=18, format1="PRINTSIZE", offered=bits(0, 1, 2, 3),
                 discounts=[(3, 10, 10)], weight=0.3, art=[("mat", (244, 240, 230))]),
        ],
    },
]


def slug(product_id):
    return product_id.lower().replace(" ", "-").replace(".", "")


# Words a shopper would type for what a department sells, added to each of its products'
# keywords, and the words of every product's name: a search for a product's obvious word finds it.
DEPT_WORDS = {
    ("OAKBARN", "JACKETS"): ["JACKET", "OUTDOOR", "CLOTHING"], ("OAKBARN", "BOOTS"): ["FOOTWEAR", "SHOES", "OUTDOOR"],
    ("OAKBARN", "CAMP"): ["CAMPING", "OUTDOOR"], ("OAKBARN", "RENTALS"): ["RENTAL", "HIRE"],
    ("BYTEBAY", "CABLES"): ["CABLE", "ELECTRONICS"], ("BYTEBAY", "AUDIO"): ["AUDIO", "ELECTRONICS"],
    ("BYTEBAY", "SOFTWARE"): ["SOFTWARE", "DOWNLOAD"],
    ("KETTLE", "TEAS"): ["TEA", "LOOSE LEAF"], ("KETTLE", "TEAWARE"): ["TEA", "TEAWARE"],
    ("KETTLE", "GIFTS"): ["TEA", "GIFT"],
    ("NLIGHT", "PRINTS"): ["PRINT", "PHOTOGRAPH", "ART"], ("NLIGHT", "FRAMES"): ["FRAME", "ART"],
}
STOP_WORDS = {"THE", "AND", "FOR", "WITH", "OVER", "FROM", "EDITION", "PIECE"}
KEYWORD_LENGTH = 19  # what a keyword record holds


def shopper_keywords(store_id, p):
    words = list(p.get("keywords", []))
    words += DEPT_WORDS.get((store_id, p["department"]), [])
    for w in "".join(c if c.isalnum() else " " for c in p["name"].upper()).split():
        if len(w) >= 3 and not w.isdigit() and w.isascii() and w not in STOP_WORDS:
            words.append(w)
    out = []
    for w in words:
        w = w[:KEYWORD_LENGTH]
        if w not in out:
            out.append(w)
    return out


def catalogue_json():
    stores = []
    for s in STORES:
        store = {k: s[k] for k in ("id", "name", "mail_user", "access_key", "icon", "po_key", "description") if k in s}
        store["extended"] = s["extended"]
        store["departments"] = [dict(id=i, name=n, icon=ic, flags=f, description=d) for i, n, ic, f, d in s["departments"]]
        store["formats"] = [dict(name=n, choices=c) for n, c in s["formats"]]
        products = []
        for p in s["products"]:
            out = {k: v for k, v in p.items() if k not in ("art", "discounts")}
            out["keywords"] = shopper_keywords(s["id"], p)
            pictures = ["KVZSV\\%s\\%s\\%s-%d.png" % (s["id"], p["department"], slug(p["id"]), n + 1)
                        for n in range(len(p["art"]))]
            out["pictures"] = pictures + [""] * (3 - len(pictures))
            if "discounts" in p:
                out["discounts"] = [dict(min=a, max=b, percent=c) for a, b, c in p["discounts"]]
            products.append(out)
        store["products"] = products
        stores.append(store)
    return {"stores": stores}


# ---- a small raster and two file writers -------------------------------------------------------

class Image:
    def __init__(self, w, h, background):
        self.w, self.h = w, h
        self.palette = [background]
        self.pixels = bytearray(w * h)

    def ink(self, rgb):
        rgb = tuple(max(0, min(255, int(v))) for v in rgb)
        if rgb not in self.palette:
            assert len(self.palette) < 256
            self.palette.append(rgb)
        return self.palette.index(rgb)

    def put(self, x, y, c):
        if 0 <= x < self.w and 0 <= y < self.h:
            self.pixels[y * self.w + x] = c

    def fill(self, test, rgb, box=None):
        c = self.ink(rgb)
        x0, y0, x1, y1 = box or (0, 0, self.w, self.h)
        for y in range(max(0, int(y0)), min(self.h, int(y1) + 1)):
            for x in range(max(0, int(x0)), min(self.w, int(x1) + 1)):
                if test(x + 0.5, y + 0.5):
                    self.pixels[y * self.w + x] = c

    def rect(self, x0, y0, x1, y1, rgb):
        self.fill(lambda x, y: x0 <= x < x1 and y0 <= y < y1, rgb, (x0, y0, x1, y1))

    def ellipse(self, cx, cy, rx, ry, rgb):
        self.fill(lambda x, y: ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 <= 1, rgb,
                  (cx - rx, cy - ry, cx + rx, cy + ry))

    def ring(self, cx, cy, rx, ry, width, rgb):
        def inside(x, y):
            d = ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2
            e = ((x - cx) / max(1, rx - width)) ** 2 + ((y - cy) / max(1, ry - width)) ** 2
            return d <= 1 and e >= 1
        self.fill(inside, rgb, (cx - rx, cy - ry, cx + rx, cy + ry))

    def polygon(self, points, rgb):
        def inside(x, y):
            hit = False
            for i in range(len(points)):
                (ax, ay), (bx, by) = points[i], points[i - 1]
                if (ay > y) != (by > y) and x < (bx - ax) * (y - ay) / (by - ay) + ax:
                    hit = not hit
            return hit
        xs, ys = [p[0] for p in points], [p[1] for p in points]
        self.fill(inside, rgb, (min(xs), min(ys), max(xs), max(ys)))

    def line(self, points, width, rgb):
        c = self.ink(rgb)
        r = width / 2
        for (ax, ay), (bx, by) in zip(points, points[1:]):
            steps = int(max(abs(bx - ax), abs(by - ay)) * 2) + 1
            for i in range(steps + 1):
                px, py = ax + (bx - ax) * i / steps, ay + (by - ay) * i / steps
                for y in range(int(py - r), int(py + r) + 1):
                    for x in range(int(px - r), int(px + r) + 1):
                        if (x + 0.5 - px) ** 2 + (y + 0.5 - py) ** 2 <= r * r:
                            self.put(x, y, c)

    def bands(self, top, bottom, colours):
        # Horizontal bands from one colour to the next: a sky without a gradient's palette cost.
        n = len(colours)
        for i, rgb in enumerate(colours):
            self.rect(0, top + (bottom - top) * i / n, self.w, top + (bottom - top) * (i + 1) / n, rgb)

    def border(self, width, rgb):
        self.rect(0, 0, self.w, width, rgb)
        self.rect(0, self.h - width, self.w, self.h, rgb)
        self.rect(0, 0, width, self.h, rgb)
        self.rect(self.w - width, 0, self.w, self.h, rgb)


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def write_png(img, path):
    raw = b"".join(b"\0" + bytes(img.pixels[y * img.w:(y + 1) * img.w]) for y in range(img.h))
    data = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", img.w, img.h, 8, 3, 0, 0, 0))
            + chunk(b"PLTE", b"".join(bytes(c) for c in img.palette)) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))
    save(path, data)


def lzw(indices, min_size):
    # GIF's LZW: the code width grows once a code of the current width's top value is added,
    # and the table starts afresh when it is full.
    clear, end = 1 << min_size, (1 << min_size) + 1
    out, acc, nbits = bytearray(), 0, 0
    table, width, next_code = {}, min_size + 1, end + 1

    def emit(code):
        nonlocal acc, nbits
        acc |= code << nbits
        nbits += width
        while nbits >= 8:
            out.append(acc & 0xFF)
            acc >>= 8
            nbits -= 8

    def reset():
        nonlocal table, width, next_code
        table = {(i,): i for i in range(clear)}
        width, next_code = min_size + 1, end + 1

    reset()
    emit(clear)
    run = (indices[0],)
    for k in indices[1:]:
        longer = run + (k,)
        if longer in table:
            run = longer
            continue
        emit(table[run])
        if next_code < 4096:
            table[longer] = next_code
            next_code += 1
            if next_code > (1 << width) and width < 12:
                width += 1
        else:
            emit(clear)
            reset()
        run = (k,)
    emit(table[run])
    emit(end)
    if nbits:
        out.append(acc & 0xFF)
    return bytes(out)


def write_gif(img, path):
    size_bits = max(1, (len(img.palette) - 1).bit_length())
    colours = img.palette + [(0, 0, 0)] * ((1 << size_bits) - len(img.palette))
    min_size = max(2, size_bits)
    data = lzw(list(img.pixels), min_size)
    blocks = b"".join(bytes([len(data[i:i + 255])]) + data[i:i + 255] for i in range(0, len(data), 255))
    gif = (b"GIF89a" + struct.pack("<HHBBB", img.w, img.h, 0x80 | (size_bits - 1), 0, 0)
           + b"".join(bytes(c) for c in colours)
           + b"," + struct.pack("<HHHHB", 0, 0, img.w, img.h, 0) + bytes([min_size]) + blocks + b"\0;")
    save(path, gif)


def save(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


# ---- drawings ----------------------------------------------------------------------------------

def shade(rgb, f):
    return tuple(v * f for v in rgb)


def tint(rgb, f):
    return tuple(v + (255 - v) * f for v in rgb)


PAPER = (250, 248, 243)


def draw(art, colour, w=160, h=120):
    img = Image(w, h, PAPER)
    floor = tint(colour, 0.85) if isinstance(colour, tuple) else (236, 236, 236)
    if isinstance(colour, tuple):
        img.rect(0, 92, w, h, floor)
    c = colour
    if art in ("parka", "shell", "fleece", "vest"):
        body = [(52, 30), (108, 30), (116, 100), (44, 100)]
        if art != "vest":
            img.polygon([(52, 30), (30, 50), (22, 96), (36, 98), (44, 58)], shade(c, 0.85))
            img.polygon([(108, 30), (130, 50), (138, 96), (124, 98), (116, 58)], shade(c, 0.85))
        img.polygon(body, c)
        if art == "parka":
            img.ellipse(80, 28, 20, 14, shade(c, 0.75))
            for y in (50, 66, 82):
                img.rect(46, y, 114, y + 2, shade(c, 0.8))
        if art == "shell":
            img.ellipse(80, 26, 16, 10, shade(c, 0.8))
        img.rect(79, 30, 81, 100, tint(c, 0.5))
    elif art in ("boot", "shoe"):
        top = 24 if art == "boot" else 52
        img.polygon([(50, top), (84, top), (86, 70), (128, 78), (134, 96), (44, 96)], c)
        img.rect(42, 96, 136, 102, (40, 36, 34))
        for y in range(top + 8, 70, 9):
            img.line([(66, y), (80, y + 3)], 2, tint(c, 0.6))
    elif art == "socks":
        for dx, f in ((0, 1.0), (34, 0.8)):
            img.polygon([(40 + dx, 20), (62 + dx, 20), (62 + dx, 72), (80 + dx, 84), (74 + dx, 100),
                         (40 + dx, 86)], shade(c, f))
            img.rect(40 + dx, 20, 62 + dx, 30, (240, 236, 228))
    elif art == "stove":
        img.rect(28, 50, 132, 92, c)
        img.rect(28, 30, 132, 50, shade(c, 0.7))
        for x in (56, 104):
            img.ring(x, 66, 16, 8, 3, (30, 30, 30))
            img.ellipse(x, 66, 5, 3, (230, 120, 40))
    elif art in ("mug", "cups"):
        xs = (58,) if art == "mug" else (34, 80, 126)
        for x in xs:
            r = 22 if art == "mug" else 16
            if art == "mug":
                img.ring(x + r, 64, 12, 12, 4, shade(c, 0.8))
            img.rect(x - r, 40, x + r, 92, c)
            img.ellipse(x, 40, r, 5, shade(c, 0.7))
            for k in range(6):
                img.ellipse(x - r + 6 + k * 7, 55 + (k % 3) * 11, 1.5, 1.5, tint(c, 0.7))
    elif art in ("box", "softbox", "card"):
        if art == "card":
            img.rect(30, 30, 130, 90, c)
            img.rect(30, 44, 130, 52, tint(c, 0.5))
            img.ellipse(112, 74, 8, 8, (240, 200, 80))
        else:
            img.polygon([(40, 34), (110, 34), (126, 22), (56, 22)], tint(c, 0.3))
            img.polygon([(110, 34), (126, 22), (126, 86), (110, 98)], shade(c, 0.7))
            img.rect(40, 34, 110, 98, c)
            if art == "softbox":
                img.polygon([(40, 70), (110, 50), (110, 62), (40, 82)], tint(c, 0.6))
            else:
                img.rect(40, 58, 110, 66, tint(c, 0.6))
    elif art == "chair":
        img.line([(46, 100), (112, 54)], 5, shade(c, 0.5))
        img.line([(112, 100), (46, 54)], 5, shade(c, 0.5))
        img.rect(44, 50, 116, 60, c)
        img.rect(48, 14, 112, 52, c)
    elif art == "tent":
        img.polygon([(80, 20), (140, 96), (20, 96)], c)
        img.polygon([(80, 40), (98, 96), (62, 96)], shade(c, 0.6))
    elif art == "kayak":
        img.ellipse(80, 70, 70, 10, c)
        img.ellipse(80, 66, 12, 4, (30, 30, 30))
        img.line([(40, 40), (120, 96)], 3, (90, 90, 90))
        img.ellipse(40, 40, 6, 10, (200, 200, 200))
    elif art == "snowshoe":
        for x in (56, 104):
            img.ring(x, 60, 20, 38, 4, c)
            img.line([(x - 16, 60), (x + 16, 60)], 2, shade(c, 0.6))
            img.line([(x, 26), (x, 94)], 2, shade(c, 0.6))
    elif art == "cable":
        img.line([(24, 40), (60, 40), (80, 80), (110, 80), (136, 60)], 5, c)
        img.rect(14, 33, 30, 47, (190, 190, 196))
        img.rect(130, 52, 146, 68, (190, 190, 196))
    elif art == "surge":
        img.rect(24, 40, 136, 80, c)
        for i in range(6):
            img.rect(32 + i * 16, 52, 40 + i * 16, 68, (60, 60, 60))
        img.line([(136, 60), (152, 60), (152, 100)], 3, (90, 90, 90))
    elif art == "earbuds":
        for x in (60, 100):
            img.ellipse(x, 50, 14, 14, c)
            img.rect(x - 4, 56, x + 4, 90, c)
            img.ellipse(x, 50, 5, 5, (120, 120, 130))
    elif art == "speaker":
        img.ellipse(80, 64, 44, 30, c)
        img.ellipse(80, 64, 30, 20, shade(c, 0.7))
    elif art == "headphones":
        img.ring(80, 64, 46, 46, 6, c)
        img.rect(30, 56, 50, 92, shade(c, 0.8))
        img.rect(110, 56, 130, 92, shade(c, 0.8))
    elif art == "dac":
        img.rect(44, 40, 116, 88, c)
        img.ellipse(96, 64, 10, 10, shade(c, 0.5))
        img.ellipse(60, 56, 3, 3, (60, 200, 90))
    elif art == "leaves":
        for i in range(14):
            x = 40 + (i * 37) % 80
            y = 50 + (i * 23) % 40
            img.ellipse(x, y, 10, 4, shade(c, 0.8 + (i % 3) * 0.1))
    elif art == "tin":
        img.rect(50, 30, 110, 94, c)
        img.rect(48, 26, 112, 36, shade(c, 0.7))
        img.rect(58, 50, 102, 74, (240, 234, 218))
    elif art in ("teapot", "kettle"):
        img.ellipse(80, 66, 34, 26, c)
        img.polygon([(110, 60), (140, 40), (144, 44), (112, 74)], c)
        if art == "teapot":
            img.rect(20, 58, 48, 64, shade(c, 0.7))
        else:
            img.ring(80, 40, 24, 18, 4, shade(c, 0.7))
        img.ellipse(80, 42, 12, 5, shade(c, 0.8))
    elif art == "gaiwan":
        img.polygon([(44, 56), (116, 56), (100, 88), (60, 88)], c)
        img.ellipse(80, 52, 38, 8, shade(c, 0.85))
        img.ellipse(80, 44, 6, 4, shade(c, 0.7))
        img.rect(64, 88, 96, 94, shade(c, 0.7))
    elif art in ("frame", "mat"):
        img.rect(30, 14, 130, 106, c)
        img.rect(44, 28, 116, 92, (244, 240, 230) if art == "frame" else shade(c, 0.92))
        img.rect(56, 40, 104, 80, (90, 110, 140))
    else:
        landscape(img, art, colour)
    img.border(1, (200, 196, 188))
    return img


def landscape(img, art, variant):
    w, h = img.w, img.h
    if art == "aurora_print":
        img.bands(0, h, [(10, 14, 40), (14, 22, 56), (18, 30, 70)])
        for k in range(3):
            pts = [(x, 30 + k * 10 + 10 * math.sin(x / 18 + k + variant)) for x in range(0, w + 8, 8)]
            img.line(pts, 4, ((60, 220, 150), (120, 200, 230), (160, 90, 200))[k])
        img.polygon([(0, h), (40, 70), (70, 90), (110, 56), (w, 96), (w, h)], (20, 24, 34))
    elif art == "fjord":
        img.bands(0, h, [(208, 214, 220), (196, 204, 212), (184, 194, 204)])
        img.polygon([(0, 80), (50, 40), (90, 70), (130, 30), (w, 60), (w, 90), (0, 90)], (150, 160, 172))
        for x in (40, 70, 100):
            img.rect(x, 78, x + 16, 90, (170, 40, 36))
            img.polygon([(x - 2, 78), (x + 8, 70), (x + 18, 78)], (120, 30, 28))
        img.rect(0, 90, w, h, (120, 134, 150))
    elif art == "beach":
        img.bands(0, 70, [(250, 200, 140), (246, 180, 130), (230, 150, 120)])
        img.ellipse(120, 62, 12, 12, (255, 230, 160))
        img.rect(0, 70, w, h, (90, 110, 130))
        for i in range(12):
            img.ellipse(10 + i * 13, 100 + (i % 3) * 5, 7, 4, (150 + (i % 4) * 15, 140, 130))
    elif art == "midnight":
        img.bands(0, 80, [(250, 170, 90), (240, 140, 90), (210, 110, 100)])
        img.ellipse(80, 70, 14, 14, (255, 220, 120))
        img.polygon([(0, 90), (30, 50), (55, 72), (85, 36), (120, 78), (w, 60), (w, 90)], (50, 40, 50))
        img.rect(0, 90, w, h, (120, 80, 90))
    elif art == "harbour":
        img.bands(0, 80, [(20, 34, 80), (30, 50, 100), (40, 64, 120)])
        img.rect(0, 80, w, h, (16, 26, 60))
        for i in range(10):
            x = 8 + i * 15
            img.rect(x, 60 - (i % 3) * 8, x + 12, 80, (40, 40, 60))
            img.rect(x + 4, 66 - (i % 3) * 8, x + 8, 70 - (i % 3) * 8, (250, 210, 110))
            img.rect(x + 5, 84, x + 7, 100, (200, 170, 90))


def icon(kind, base, light, size):
    img = Image(size, size, (255, 255, 255))
    s = size / 64
    img.ellipse(32 * s, 32 * s, 30 * s, 30 * s, base)
    if kind == "tree":
        img.polygon([(32 * s, 10 * s), (50 * s, 42 * s), (14 * s, 42 * s)], light)
        img.rect(28 * s, 42 * s, 36 * s, 54 * s, light)
    elif kind == "chip":
        img.rect(20 * s, 20 * s, 44 * s, 44 * s, light)
        img.rect(26 * s, 26 * s, 38 * s, 38 * s, base)
        for i in range(4):
            for x0, y0, x1, y1 in ((14, 22 + i * 6, 20, 24 + i * 6), (44, 22 + i * 6, 50, 24 + i * 6),
                                   (22 + i * 6, 14, 24 + i * 6, 20), (22 + i * 6, 44, 24 + i * 6, 50)):
                img.rect(x0 * s, y0 * s, x1 * s, y1 * s, light)
    elif kind == "teapot":
        img.ellipse(32 * s, 36 * s, 14 * s, 11 * s, light)
        img.polygon([(44 * s, 34 * s), (54 * s, 24 * s), (56 * s, 26 * s), (46 * s, 40 * s)], light)
        img.ring(18 * s, 36 * s, 7 * s, 7 * s, 2.5 * s, light)
        img.ellipse(32 * s, 24 * s, 4 * s, 3 * s, light)
    elif kind == "aurora":
        for k in range(3):
            pts = [(x * s, (26 + k * 6 + 5 * math.sin(x / 7 + k)) * s) for x in range(6, 60, 3)]
            img.line(pts, 2.5 * s, shade(light, 1 - k * 0.2))
        img.polygon([(6 * s, 48 * s), (22 * s, 34 * s), (34 * s, 44 * s), (46 * s, 30 * s), (60 * s, 48 * s),
                     (32 * s, 62 * s)], (220, 230, 240))
    return img


def dept_icon(store, dept):
    # The department's first product in small, on the store's colour.
    product = next(p for p in store["products"] if p["department"] == dept)
    art, colour = product["art"][0]
    picture = draw(art, colour)
    img = Image(64, 64, store["art"][1])
    for y in range(4, 60):
        for x in range(4, 60):
            img.put(x, y, img.ink(picture.palette[picture.pixels[int(4 + (y - 4) * 2) * picture.w
                                                                 + int(24 + (x - 4) * 2)]]))
    return img


def background(kind, paper, ink):
    img = Image(64, 64, paper)
    if kind == "dots":
        for y in range(0, 64, 16):
            for x in range(0, 64, 16):
                img.ellipse(x + 8 + (y // 16 % 2) * 8 - 4, y + 8, 2, 2, ink)
    elif kind == "grid":
        for i in range(0, 64, 16):
            img.rect(i, 0, i + 1, 64, ink)
            img.rect(0, i, 64, i + 1, ink)
    elif kind == "leaves":
        img.ellipse(16, 16, 8, 3, ink)
        img.ellipse(48, 48, 3, 8, ink)
    elif kind == "stars":
        for x, y in ((8, 10), (40, 6), (24, 30), (54, 36), (12, 52), (44, 58)):
            img.rect(x, y, x + 2, y + 2, ink)
    elif kind == "mall":
        for y in range(0, 64, 8):
            for x in range(0, 64, 8):
                if (x + y) % 16 == 0:
                    img.rect(x, y, x + 1, y + 1, ink)
    return img


def wav(path, seconds=0.8, rate=8000):
    # A short chord that fades out: enough to hear the player work.
    frames = bytearray()
    n = int(seconds * rate)
    for i in range(n):
        t = i / rate
        v = sum(math.sin(2 * math.pi * f * t) for f in (261.6, 329.6, 392.0)) / 3
        frames.append(int(128 + 100 * v * (1 - i / n)))
    header = (b"RIFF" + struct.pack("<I", 36 + len(frames)) + b"WAVEfmt "
              + struct.pack("<IHHIIHH", 16, 1, 1, rate, rate, 1, 8) + b"data" + struct.pack("<I", len(frames)))
    save(path, header + bytes(frames))


def page(path, title, body):
    save(path, ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>%s</title>"
                "<link rel=\"stylesheet\" href=\"/shopvera.css\"></head>\n<body><h1>%s</h1>\n%s\n</body></html>\n"
                % (title, title, body)).encode("utf-8"))


def main():
    for s in STORES:
        root = os.path.join(WWW, "KVZSV", s["id"])
        kind, base, light = s["art"]
        write_png(icon(kind, base, light, 64), os.path.join(root, s["icon"]))
        write_gif(background(*s["background"]), os.path.join(root, "KVZSVBKG.gif"))
        for dept, _name, dept_file, _flags, _desc in s["departments"]:
            write_png(dept_icon(s, dept), os.path.join(root, dept, dept_file))
        for p in s["products"]:
            for n, (art, colour) in enumerate(p["art"]):
                write_png(draw(art, colour), os.path.join(root, p["department"], "%s-%d.png" % (slug(p["id"]), n + 1)))
    write_gif(background("mall", (248, 247, 244), (226, 222, 214)), os.path.join(WWW, "KVZSV", "KVZSVBKG.gif"))
    wav(os.path.join(WWW, "KVZSV", "BYTEBAY", "AUDIO", "s1clip.wav"))
    page(os.path.join(WWW, "KVZSV", "BYTEBAY", "AUDIO", "s1sheet.htm"), "Studio S1: technical data",
         "<table>\n<tr><th>Driver</th><td>45 mm dynamic, neodymium</td></tr>\n"
         "<tr><th>Frequency response</th><td>10 Hz to 30 kHz</td></tr>\n"
         "<tr><th>Impedance</th><td>32 ohms</td></tr>\n<tr><th>Sensitivity</th><td>98 dB SPL/mW</td></tr>\n"
         "<tr><th>Cable</th><td>Detachable, 3 m coiled and 1.2 m straight</td></tr>\n"
         "<tr><th>Weight</th><td>290 g without cable</td></tr>\n</table>")
    page(os.path.join(WWW, "KVZSV", "NLIGHT", "PRINTS", "aurora.htm"), "Aurora over Lofoten",
         "<p>I waited on the ridge above Hamnøy for four nights. On the fifth the sky cleared at ten, and "
         "a little after midnight the corona opened straight overhead for less than a minute.</p>\n"
         "<p>Printed on archival pigment inks, signed and numbered in an edition of 50, with a "
         "certificate of authenticity. <em>Erik Solberg</em></p>")
    with open(os.path.join(HERE, "catalogue.json"), "w", encoding="utf-8") as f:
        json.dump(catalogue_json(), f, indent=2, ensure_ascii=False)
        f.write("\n")


if __name__ == "__main__":
    main()
