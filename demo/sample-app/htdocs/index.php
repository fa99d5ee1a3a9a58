<?php
// Guestbook: lists the messages and takes a new one with an optional picture.
require __DIR__ . '/config.php';

$book = __DIR__ . '/uploads/messages.json';
$messages = is_file($book) ? json_decode(file_get_contents($book), true) : [];

if (($_SERVER['REQUEST_METHOD'] ?? 'GET') === 'POST' && trim($_POST['message'] ?? '') !== '') {
    $entry = ['name' => trim($_POST['name'] ?? 'anonymous'), 'message' => trim($_POST['message']),
              'time' => date('c')];
    $picture = $_FILES['picture'] ?? null;
    if ($picture && $picture['error'] === UPLOAD_ERR_OK && getimagesize($picture['tmp_name'])) {
        $entry['picture'] = bin2hex(random_bytes(8)) . '.img';
        move_uploaded_file($picture['tmp_name'], __DIR__ . '/uploads/' . $entry['picture']);
    }
    $messages[] = $entry;
    file_put_contents($book, json_encode($messages, JSON_PRETTY_PRINT), LOCK_EX);
    header('Location: ' . $_SERVER['PHP_SELF']);
    exit;
}

$h = fn(string $text): string => htmlspecialchars($text, ENT_QUOTES);
?>
<!DOCTYPE html>
<html>
<head><title><?= $h(GUESTBOOK_TITLE) ?></title></head>
<body>
<h1><?= $h(GUESTBOOK_TITLE) ?></h1>
<form method="post" enctype="multipart/form-data">
  <input name="name" placeholder="Your name">
  <textarea name="message" placeholder="Your message"></textarea>
  <input type="file" name="picture" accept="image/*">
  <button>Sign</button>
</form>
<?php foreach (array_reverse($messages) as $m): ?>
  <p><b><?= $h($m['name']) ?></b> (<?= $h($m['time']) ?>): <?= $h($m['message']) ?>
  <?php if (isset($m['picture'])): ?><br><img src="uploads/<?= $h($m['picture']) ?>" alt=""><?php endif ?></p>
<?php endforeach ?>
<p>Questions: <a href="mailto:<?= $h(GUESTBOOK_ADMIN_EMAIL) ?>"><?= $h(GUESTBOOK_ADMIN_EMAIL) ?></a></p>
</body>
</html>
