"""Realistic prompt text for the wordsift benchmarks, the same for a given seed.

A prompt is what an image pipeline sends: phrases joined by commas, 50 to 400
characters. Each script has its own phrase list (accented Latin with Turkish
dotted and dotless i, Greek with capitals and both sigmas, Cyrillic, Chinese,
Japanese and Korean, emoji with variation selectors, skin tones, ZWJ
sequences and flags); "mixed" draws from all of them. The data set mimics
captions of an image data set: about 37 % of the prompts hold CJK text and a
given share holds one banned word.
"""

import random

PHRASES = {
    "ASCII": [
        "a watercolor painting of a quiet harbour at dawn", "fishing boats", "soft golden light", "gentle mist",
        "highly detailed", "8k", "portrait of an old fisherman", "dramatic lighting", "cinematic composition",
        "wide angle", "shallow depth of field", "bokeh", "studio photo", "oil on canvas", "sharp focus",
        "volumetric light", "a cat sleeping on a windowsill", "mountain lake at sunset", "autumn forest",
        "city street at night", "neon signs", "rain reflections on the pavement", "35mm film grain", "golden hour",
        "minimalist poster", "isometric view", "low poly", "concept art", "a lighthouse by the sea",
        "children's book illustration", "a bowl of ramen", "steam rising", "vintage car", "desert dunes",
        "snowy village", "ultra realistic", "masterpiece", "best quality", "a red fox in the snow", "pastel colors",
        "art nouveau frame", "a cozy library with tall shelves", "morning fog over the river", "by Claude Monet",
        "trending on ArtStation", "Unreal Engine 5 render", "HDR", "symmetrical", "a robot painting a mural",
    ],
    "Latin with accents": [
        "une peinture à l'aquarelle d'un port tranquille", "à l'aube", "bateaux de pêche", "lumière dorée",
        "brume légère", "café de la place", "crème brûlée", "façade baroque", "déjà vu", "naïve art", "Côte d'Azur",
        "ÉTÉ À PARIS", "château en ruine", "forêt enneigée", "Île-de-France", "niño jugando en la playa",
        "señora con sombrero", "mañana soleada", "jalapeño rojo", "piñata de colores", "coração de São Paulo",
        "Mädchen mit Hut", "Straße in Zürich", "Ölgemälde", "Grüße aus München", "smörgåsbord på bordet",
        "Ångström", "fjällen i Åre", "Dvořák v Praze", "Łódź nocą", "Kraków", "İstanbul'da gün batımı",
        "Ağrı Dağı", "ışık ve gölge", "ÇİÇEK BAHÇESİ", "Ærø", "Þingvellir", "résumé", "Ēriks", "Māori carving",
    ],
    "Greek": [
        "ακουαρέλα ενός ήσυχου λιμανιού", "την αυγή", "ψαρόβαρκες", "απαλό χρυσό φως", "ΣΤΟ ΦΩΣ ΤΟΥ ΗΛΙΟΥ",
        "Σαντορίνη", "Ακρόπολη", "θάλασσα και ουρανός", "ΟΔΥΣΣΕΑΣ", "λεπτομέρειες", "κινηματογραφικό",
        "πορτρέτο ενός ψαρά", "ομίχλη στο βουνό", "ΣΟΦΙΑ", "σύννεφα", "ΣΚΙΕΣ ΚΑΙ ΦΩΤΑ", "ελαιώνας",
        "Μύκονος", "αρχαίος ναός", "Σελήνη πάνω από τη θάλασσα", "ΣΤΑΣΗ", "μέλισσες στα λουλούδια",
    ],
    "Cyrillic": [
        "акварель тихой гавани", "на рассвете", "рыбацкие лодки", "мягкий золотой свет", "лёгкий туман",
        "высокая детализация", "Москва", "САНКТ-ПЕТЕРБУРГ", "Байкал зимой", "портрет старого рыбака",
        "осенний лес", "Ёлка в снегу", "ЗИМНИЙ ВЕЧЕР", "Київ навесні", "кинематографичный кадр",
        "масляная живопись", "кот спит на подоконнике", "горное озеро", "неоновые вывески", "ДЕТАЛИЗАЦИЯ",
    ],
    "CJK": [
        "清晨的港口", "渔船", "柔和的金色光线", "薄雾", "细节丰富", "水彩画", "古老的寺庙", "樱花", "山水画",
        "城市夜景", "霓虹灯", "一只猫在窗台上睡觉", "电影感构图", "高清", "杰作", "静かな港", "夜明け", "漁船",
        "水彩画の風景", "アニメ風", "桜の木の下で", "カフェの窓辺", "고요한 항구", "새벽", "수채화", "벚꽃",
        "도시의 밤", "따뜻한 햇살", "最高品質", "雪の村",
    ],
    "emoji": [
        "a cute cat 🐱", "cherry blossoms 🌸", "✨ sparkles ✨", "sunny beach ☀️", "🏖️ summer vibes",
        "👩‍🎨 artist at work", "thumbs up 👍🏽", "❤️ love", "🎨 colorful palette", "ocean waves 🌊",
        "Paris 🇫🇷 street", "🔥 fire", "⭐ night sky", "🍜 noodle shop", "🐶 puppy in the park", "🌙 moonlight",
    ],
}
SCRIPTS = list(PHRASES)  # ASCII first: the reference the others are measured against
PHRASES["mixed"] = [p for phrases in PHRASES.values() for p in phrases]
SCRIPTS.append("mixed")

# The data set: English captions with the odd accented word or emoji, and CJK ones.
ENGLISH = PHRASES["ASCII"] * 8 + PHRASES["Latin with accents"][:8] + PHRASES["emoji"][:8]
CJK_MIXED = PHRASES["CJK"] + PHRASES["ASCII"]


def lengths(count, seed):
    """Prompt lengths, 50 to 400 characters: the same list for every script."""
    rng = random.Random(seed)
    return [rng.randint(50, 400) for _ in range(count)]


def compose(rng, phrases, length, sep=", "):
    """Phrases joined by `sep`, cut to exactly `length` characters."""
    parts, size = [], 0
    while size < length:
        phrase = rng.choice(phrases)
        parts.append(phrase)
        size += len(phrase) + len(sep)
    return sep.join(parts)[:length]


def clean_texts(script, sizes, seed, is_clean):
    """One prompt of `script` per length in `sizes`, each one that is_clean accepts."""
    rng = random.Random(f"{seed}-{script}")
    texts = []
    for length in sizes:
        for _ in range(1000):
            text = compose(rng, PHRASES[script], length)
            if is_clean(text):
                texts.append(text)
                break
        else:
            raise RuntimeError(f"no clean {script} prompt of {length} characters")
    return texts


def with_words(rng, text, words, count):
    """`text` with `count` of `words` put in at phrase boundaries, some in capitals or title case."""
    parts = text.split(", ")
    for word in rng.sample(words, count):
        style = rng.random()
        word = word.upper() if style < 0.2 else word.title() if style < 0.4 else word
        parts.insert(rng.randint(0, len(parts)), word)
    return ", ".join(parts)


def dataset(count, seed, banned_words, is_clean, cjk_share=0.37, banned_share=0.03):
    """(prompts, how many hold a banned word): captions of 50-400 characters, deterministic for a seed."""
    rng = random.Random(seed)
    prompts, banned = [], 0
    for _ in range(count):
        length = rng.randint(50, 400)
        cjk = rng.random() < cjk_share
        phrases, sep = (PHRASES["CJK"], "，") if cjk and rng.random() < 0.5 else (CJK_MIXED if cjk else ENGLISH, ", ")
        if rng.random() < banned_share:
            word = rng.choice(banned_words)
            text = with_words(rng, compose(rng, phrases, max(50, length - len(word) - 2), sep), [word], 1)
            banned += 1
        else:
            text = compose(rng, phrases, length, sep)
            while not is_clean(text):
                text = compose(rng, phrases, length, sep)
        prompts.append(text)
    return prompts, banned
